#include "pipeline/TAuTaggedFileIn.h"

#include "tags/TAPEv2Tags.h"
#include "tags/TCommonTags.h"
#include "tags/TId3v1Tags.h"
#include "tags/TId3v2Tags.h"

namespace tarvio {

TAuTaggedFileIn::TAuTaggedFileIn(TComponent* AOwner)
    : TAuFileIn(AOwner), FId3v1Tags(std::make_unique<TId3v1Tags>()),
      FId3v2Tags(std::make_unique<TId3v2Tags>()), FAPEv2Tags(std::make_unique<TAPEv2Tags>()),
      FCommonTags(std::make_unique<TCommonTags>()) {}

TAuTaggedFileIn::~TAuTaggedFileIn() {
    // Freed in the order they were made.
    FId3v1Tags.reset();
    FId3v2Tags.reset();
    FAPEv2Tags.reset();
    FCommonTags.reset();
}

} // namespace tarvio
