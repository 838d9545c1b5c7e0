#include "decoders/wm/TWMHeaderInfo.h"

#include "decoders/wm/TWMSyncReader.h"

namespace tarvio {

uint32_t TWMHeaderInfo::GetAttributeByName(uint16_t StreamNum, std::string_view Name,
                                           TWMAttribute& Value) const {
    if (StreamNum != 0) return ASF_E_NOTFOUND;
    const auto it = FAttributes.find(Name);
    if (it == FAttributes.end()) return ASF_E_NOTFOUND;
    Value = it->second;
    return WM_OK;
}

} // namespace tarvio
