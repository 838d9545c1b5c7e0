#pragma once
// Where a seek offset counts from; shared by streams and tag file handles.

namespace tarvio {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

} // namespace tarvio
