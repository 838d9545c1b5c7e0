#pragma once
// A converter that plays a list of files one after another through one file decoder (its
// input, a TAuFileIn): when an entry's data ends, the next file is opened within the same
// data request, so the consumer sees one continuous stream. Later entries are taken to
// have the first entry's format. Size is -1 while running.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "pipeline/TAuConverter.h"

namespace tarvio {

class TAuFileIn;
using TPlayItemChangedEvent = TNotifyEvent;

class TAudioPlayList : public TAuConverter {
public:
    explicit TAudioPlayList(TComponent* AOwner = nullptr);
    ~TAudioPlayList() override;

    // The file names (UTF-8 paths), one per entry. The setter copies the given list.
    std::vector<std::string> Files() const;
    void SetFiles(const std::vector<std::string>& Value);
    // Appends entries (a list that grows while a folder scan runs); any thread.
    void AddFiles(const std::vector<std::string>& Value);
    size_t FileCount() const;

    // Index of the entry being played. A value past the last entry is ignored, except 0,
    // which is always stored. While idle the value is only stored (the next Init starts
    // there); while running the input switches to that entry at once, between two data
    // requests. GUI thread; the input's EAuException passes to the caller.
    uint16_t CurrentItem() const { return FCurrentItem; }
    void SetCurrentItem(uint16_t Value);

    // A new entry has started. Posted through the event dispatcher (runs on the GUI
    // thread, Sender = this list); dropped when no dispatcher exists.
    TPlayItemChangedEvent OnPlayItemChanged() const;
    void SetOnPlayItemChanged(TPlayItemChangedEvent Value);

protected:
    // Raises "Input is not assigned.", "PlayList input should be a file-reading component."
    // or "The play list is empty."; starts at CurrentItem (entry 0 when that is past the end).
    void InitInternal() override;
    void FlushInternal() override;
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override;

private:
    TAuFileIn* FileInput() const;
    // Under DataCS: the input opens entry FCurrentItem.
    void StartEntry(TAuFileIn& In);
    void PostItemChanged();

    std::vector<std::string> FFiles; // guarded by DataCS
    std::atomic<uint16_t> FCurrentItem{0};
    mutable std::mutex FHandlerLock;
    TPlayItemChangedEvent FOnPlayItemChanged;
};

} // namespace tarvio
