#include "stages/TAudioPlayList.h"

#include "pipeline/EAuException.h"
#include "pipeline/TAuFileIn.h"
#include "pipeline/TEventHandler.h"

namespace tarvio {

TAudioPlayList::TAudioPlayList(TComponent* AOwner) : TAuConverter(AOwner) {}

TAudioPlayList::~TAudioPlayList() {
    ClearPendingEvents(this);
    if (TEventHandler* h = EventHandler()) h->WaitWhileDelivering(this);
}

std::vector<std::string> TAudioPlayList::Files() const {
    // FFiles is guarded by the data lock, which the base keeps non-const.
    TAuInputLock lock(const_cast<TAudioPlayList&>(*this));
    return FFiles;
}

void TAudioPlayList::SetFiles(const std::vector<std::string>& Value) {
    TAuInputLock lock(*this);
    FFiles = Value;
}

void TAudioPlayList::AddFiles(const std::vector<std::string>& Value) {
    TAuInputLock lock(*this);
    FFiles.insert(FFiles.end(), Value.begin(), Value.end());
}

size_t TAudioPlayList::FileCount() const {
    TAuInputLock lock(const_cast<TAudioPlayList&>(*this));
    return FFiles.size();
}

TPlayItemChangedEvent TAudioPlayList::OnPlayItemChanged() const {
    std::lock_guard<std::mutex> lock(FHandlerLock);
    return FOnPlayItemChanged;
}

void TAudioPlayList::SetOnPlayItemChanged(TPlayItemChangedEvent Value) {
    std::lock_guard<std::mutex> lock(FHandlerLock);
    FOnPlayItemChanged = std::move(Value);
}

void TAudioPlayList::PostItemChanged() {
    std::lock_guard<std::mutex> lock(FHandlerLock);
    if (FOnPlayItemChanged) PostGenericEventIfDispatching(this, FOnPlayItemChanged);
}

TAuFileIn* TAudioPlayList::FileInput() const {
    return dynamic_cast<TAuFileIn*>(FInput.load());
}

void TAudioPlayList::StartEntry(TAuFileIn& In) {
    In.SetFileName(FFiles[FCurrentItem]);
    In.Init();
}

void TAudioPlayList::SetCurrentItem(uint16_t Value) {
    {
        TAuInputLock lock(*this);
        size_t count = FFiles.size();
        if (Value != 0 && Value >= count) return;
        FCurrentItem = Value;
        TAuFileIn* in = FileInput();
        // An empty list has no entry 0 to switch to.
        if (!Busy || !in || Value >= count) return;
        in->Flush();
        StartEntry(*in);
    }
    PostItemChanged();
}

void TAudioPlayList::InitInternal() {
    TAuInput* input = FInput;
    if (!input) throw EAuException("Input is not assigned.");
    TAuFileIn* in = dynamic_cast<TAuFileIn*>(input);
    if (!in) throw EAuException("PlayList input should be a file-reading component.");
    if (FFiles.empty()) throw EAuException("The play list is empty.");
    Busy = true;
    // Any valid index starts there, the last entry included.
    if (FCurrentItem >= FFiles.size()) FCurrentItem = 0;
    StartEntry(*in);
    PostItemChanged();
    FSize = -1;
}

void TAudioPlayList::FlushInternal() {
    if (TAuInput* in = FInput) in->Flush();
    Busy = false;
}

void TAudioPlayList::GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) {
    const uint32_t requested = Bytes;
    TAuFileIn* in = FileInput();
    if (!in) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    in->GetData(Buffer, Bytes);
    if (Bytes == 0 && FCurrentItem + size_t(1) < FFiles.size()) {
        in->Flush();
        FCurrentItem = FCurrentItem + 1;
        StartEntry(*in);
        Bytes = requested;
        in->GetData(Buffer, Bytes);
        PostItemChanged();
    }
}

} // namespace tarvio
