#include "tags/TPersistent.h"

#include "tags/EConvertError.h"

namespace tarvio {

void TPersistent::Assign(const TPersistent& Source) {
    Source.AssignTo(*this);
}

void TPersistent::AssignTo(TPersistent& Dest) const {
    Dest.AssignError(*this);
}

void TPersistent::AssignError(const TPersistent& Source) const {
    throw EConvertError("Cannot assign a " + Source.ClassName() + " to a " + ClassName());
}

} // namespace tarvio
