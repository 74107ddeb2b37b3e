#include "instances/file_mapping.h"

#include <cerrno>
#include <system_error>

TCustomFileMapping::~TCustomFileMapping()
{
    while (!views_.empty())
        views_.pop_back();
}

bool TCustomFileMapping::RoundOffset(std::uint64_t offset, std::uint64_t& rounded) const noexcept
{
    const std::uint64_t granularity = platform::SharedRegion::Granularity();
    const std::uint64_t below = offset - offset % granularity;
    if (below == offset || rounding_ == TOffsetRounding::RoundDown) {
        rounded = below;
        return true;
    }
    return !__builtin_add_overflow(below, granularity, &rounded);
}

TFileMappingView& TCustomFileMapping::MapView(std::uint32_t access, std::uint64_t size, std::uint64_t offset)
{
    const bool wantsWrite = (access & FileMapWrite) != 0;
    if (!wantsWrite && (access & FileMapRead) == 0)
        throw EFileMappingViewError(EINVAL);
    if (wantsWrite && !writable_)
        throw EFileMappingViewError(EACCES);
    std::uint64_t rounded = 0;
    if (!RoundOffset(offset, rounded))
        throw EFileMappingViewError(EINVAL);
    platform::MappedMemory memory;
    try {
        memory = handle_->Map(rounded, size, wantsWrite);
    } catch (const std::system_error& error) {
        throw EFileMappingViewError(static_cast<std::uint32_t>(error.code().value()));
    }
    std::unique_ptr<TFileMappingView> view(new TFileMappingView(*this, access, rounded, std::move(memory), wantsWrite));
    views_.push_back(std::move(view));
    return *views_.back();
}

void TCustomFileMapping::DestroyView(TFileMappingView& view) noexcept
{
    for (auto it = views_.begin(); it != views_.end(); ++it)
        if (it->get() == &view) {
            views_.erase(it);
            return;
        }
}

TSwapFileMapping::TSwapFileMapping(const std::string& name, std::uint32_t protection, std::uint64_t maximumSize)
    : TCustomFileMapping(name)
{
    if (protection != PageReadOnly && protection != PageReadWrite)
        throw EFileMappingError(EINVAL);
    try {
        handle_ = std::make_unique<platform::SharedRegion>(name, maximumSize);
    } catch (const std::system_error& error) {
        RaiseIfRefused(error);
        throw EFileMappingError(static_cast<std::uint32_t>(error.code().value()));
    }
    alreadyExisted_ = handle_->AlreadyExisted();
    writable_ = protection == PageReadWrite;
}

TFileMappingView::TFileMappingView(TCustomFileMapping& mapping, std::uint32_t access, std::uint64_t offset,
                                   platform::MappedMemory memory, bool writable)
    : mapping_(&mapping), access_(access), offset_(offset), memory_(std::move(memory))
{
    SetPointer(memory_.Data(), static_cast<std::int64_t>(memory_.Size()), writable);
}
