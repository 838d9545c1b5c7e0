#pragma once
// The file input of decoders whose files carry tags. It owns one container of each tag
// format and the format-neutral common tags, so any tagged decoder answers "title" and
// "artist" the same way. Nothing is added to the data path.

#include <memory>

#include "pipeline/TAuFileIn.h"

namespace tarvio {

class TId3v1Tags;
class TId3v2Tags;
class TAPEv2Tags;
class TCommonTags;

class TAuTaggedFileIn : public TAuFileIn {
public:
    explicit TAuTaggedFileIn(TComponent* AOwner = nullptr);
    ~TAuTaggedFileIn() override;

    // Owned by the input; never null while it exists. A decoder refills every common field
    // when it opens a file; read it after OpenFile (Valid, a format getter or Init).
    TCommonTags* CommonTags() const { return FCommonTags.get(); }

protected:
    // Filled by the decoders whose files carry these formats; they publish accessors.
    std::unique_ptr<TId3v1Tags> FId3v1Tags;
    std::unique_ptr<TId3v2Tags> FId3v2Tags;
    std::unique_ptr<TAPEv2Tags> FAPEv2Tags;
    std::unique_ptr<TCommonTags> FCommonTags;
};

} // namespace tarvio
