#include "output/TDirectSound.h"

#include "output/TAlsaSink.h"
#include "output/TDirectSoundBuffer.h"
#include "output/TNullSink.h"
#include "output/TWaveFileSink.h"

namespace tarvio {

TDirectSound::~TDirectSound() = default;

HRESULT TDirectSound::Create(const TDSDeviceInfo& Device, std::shared_ptr<TDirectSound>& Out) {
    std::shared_ptr<TDirectSound> ds(new TDirectSound);
    ds->FDevice = Device;
    if (Device.Kind == TDSDeviceKind::dkAlsa) {
        std::unique_ptr<TAlsaSink> sink;
        HRESULT hr = TAlsaSink::Create(Device.Name, sink);
        if (Failed(hr)) return hr;
        ds->FSpareSink = std::move(sink);
    }
    Out = std::move(ds);
    return DS_OK;
}

HRESULT TDirectSound::SetCooperativeLevel(HWND Window, uint32_t Level) {
    if (Window == 0 || Level < DSSCL_NORMAL || Level > DSSCL_WRITEPRIMARY) return DSERR_INVALIDPARAM;
    std::lock_guard<std::mutex> lock(FMutex);
    FLevel = Level;
    return DS_OK;
}

HRESULT TDirectSound::MakeSink(std::unique_ptr<TDSSink>& Out) {
    if (FSpareSink) {
        Out = std::move(FSpareSink);
        return DS_OK;
    }
    switch (FDevice.Kind) {
    case TDSDeviceKind::dkNull:
        Out = std::make_unique<TNullSink>();
        return DS_OK;
    case TDSDeviceKind::dkWaveFile:
        Out = std::make_unique<TWaveFileSink>(FDevice.Name);
        return DS_OK;
    case TDSDeviceKind::dkAlsa: {
        std::unique_ptr<TAlsaSink> sink;
        HRESULT hr = TAlsaSink::Create(FDevice.Name, sink);
        if (Failed(hr)) return hr == DSERR_NODRIVER ? DSERR_ALLOCATED : hr;
        Out = std::move(sink);
        return DS_OK;
    }
    }
    return DSERR_GENERIC;
}

HRESULT TDirectSound::CreateSoundBuffer(const DSBUFFERDESC* Desc, std::shared_ptr<TDirectSoundBuffer>& Out) {
    if (Desc == nullptr || Desc->dwSize != DSBUFFERDESC_SIZE) return DSERR_INVALIDPARAM;
    std::lock_guard<std::mutex> lock(FMutex);
    if (FLevel == 0) return DSERR_INVALIDCALL; // SetCooperativeLevel comes first
    if (Desc->dwFlags & DSBCAPS_PRIMARYBUFFER) {
        if (Desc->dwBufferBytes != 0 || Desc->lpwfxFormat != nullptr) return DSERR_INVALIDPARAM;
        if (!FPrimary) FPrimary = TDirectSoundBuffer::CreatePrimary(FLevel);
        Out = FPrimary;
        return DS_OK;
    }
    HRESULT hr = TDirectSoundBuffer::ValidateFormat(Desc->lpwfxFormat);
    if (Failed(hr)) return hr;
    std::unique_ptr<TDSSink> sink;
    hr = MakeSink(sink);
    if (Failed(hr)) return hr;
    return TDirectSoundBuffer::CreateSecondary(*Desc, std::move(sink), Out);
}

} // namespace tarvio
