#include "cli/digest_kinds.h"

#include <stdexcept>

const DigestKind& KindOf(Algorithm algorithm)
{
    for (const DigestKind& kind : kDigestKinds) {
        if (kind.algorithm == algorithm)
            return kind;
    }
    throw std::logic_error("an algorithm without a row in kDigestKinds");
}

const DigestKind* KindByTag(std::string_view tag)
{
    for (const DigestKind& kind : kDigestKinds) {
        if (kind.tag == tag)
            return &kind;
    }
    return nullptr;
}

const DigestKind* KindByOption(std::string_view option)
{
    for (const DigestKind& kind : kDigestKinds) {
        if (kind.option == option)
            return &kind;
    }
    return nullptr;
}

DigestKinds TickedKinds(const GenerateInput& input)
{
    DigestKinds kinds;
    for (const DigestKind& kind : kDigestKinds) {
        if (input.*kind.tick)
            kinds.push_back(&kind);
    }
    return kinds;
}

GenerateInput OnlyTicked(const GenerateInput& input, const DigestKind& kind)
{
    GenerateInput only = input;
    for (const DigestKind& other : kDigestKinds)
        only.*other.tick = false;
    only.*kind.tick = true;
    return only;
}

std::string FullWidth(const DigestKind& kind, const std::string& result)
{
    if (result.size() >= kind.digits)
        return result;
    return std::string(kind.digits - result.size(), '0') + result;
}
