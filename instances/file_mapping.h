#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "instances/memory_stream.h"
#include "instances/system_error.h"
#include "platform/ipc/shared_region.h"

// Region protection and view access, with the system's values.
constexpr std::uint32_t PageReadOnly = 0x02;
constexpr std::uint32_t PageReadWrite = 0x04;
constexpr std::uint32_t FileMapWrite = 0x02;
constexpr std::uint32_t FileMapRead = 0x04;
constexpr std::uint32_t FileMapAllAccess = 0x000F001F;

class EFileMappingError : public ESystemError {
public:
    explicit EFileMappingError(std::uint32_t errorCode) : ESystemError("Failed to create FileMapping", errorCode) {}
    EFileMappingError(const std::string& text, std::uint32_t errorCode) : ESystemError(text, errorCode) {}
    const char* ClassName() const noexcept override { return "EFileMappingError"; }
};

class EFileMappingViewError : public ESystemError {
public:
    explicit EFileMappingViewError(std::uint32_t errorCode)
        : ESystemError("Failed to create FileMappingView", errorCode)
    {}
    const char* ClassName() const noexcept override { return "EFileMappingViewError"; }
};

// Which way a view offset that is not a multiple of the allocation
// granularity is moved.
enum class TOffsetRounding { RoundDown, RoundUp };

class TFileMappingView;

// One named memory region and the views made of it. The region owns its
// views: destroying it destroys them, last first, then closes the region.
// Only ever a part of a TSwapFileMapping, never destroyed on its own.
class TCustomFileMapping {
public:
    TCustomFileMapping(const TCustomFileMapping&) = delete;
    TCustomFileMapping& operator=(const TCustomFileMapping&) = delete;

    bool AlreadyExisted() const noexcept { return alreadyExisted_; }
    const std::string& Name() const noexcept { return name_; }
    TOffsetRounding Rounding() const noexcept { return rounding_; }
    void SetRounding(TOffsetRounding rounding) noexcept { rounding_ = rounding; }

    // Maps `size` bytes (0: the rest of the region) at `offset`, rounded to
    // the allocation granularity by the rounding rule. Raises
    // EFileMappingViewError. The view stays valid until DestroyView or the
    // region's end.
    TFileMappingView& MapView(std::uint32_t access, std::uint64_t size, std::uint64_t offset);
    void DestroyView(TFileMappingView& view) noexcept;
    std::size_t ViewCount() const noexcept { return views_.size(); }
    TFileMappingView& View(std::size_t index) const { return *views_.at(index); }

    // The offset a view asked at `offset` is mapped at; false on overflow.
    bool RoundOffset(std::uint64_t offset, std::uint64_t& rounded) const noexcept;

protected:
    explicit TCustomFileMapping(std::string name) : name_(std::move(name)) {}
    ~TCustomFileMapping();

    bool alreadyExisted_ = false;
    std::unique_ptr<platform::SharedRegion> handle_;
    bool writable_ = false;

private:
    std::string name_;
    TOffsetRounding rounding_ = TOffsetRounding::RoundDown;
    std::vector<std::unique_ptr<TFileMappingView>> views_;
};

// A named region backed by memory only (not by a file the user sees). It is
// found by name from every process of this user, starts zero-filled when new
// and is gone once no living process has it open. Raises EFileMappingError.
class TSwapFileMapping final : public TCustomFileMapping {
public:
    TSwapFileMapping(const std::string& name, std::uint32_t protection, std::uint64_t maximumSize);
};

// One mapped view of a region, read and written as a memory stream.
class TFileMappingView final : public TCustomMemoryStream {
public:
    TCustomFileMapping& Mapping() const noexcept { return *mapping_; }
    std::uint32_t Access() const noexcept { return access_; }
    // Where the view starts in the region, after rounding.
    std::uint64_t Offset() const noexcept { return offset_; }

private:
    friend class TCustomFileMapping;
    TFileMappingView(TCustomFileMapping& mapping, std::uint32_t access, std::uint64_t offset,
                     platform::MappedMemory memory, bool writable);

    TCustomFileMapping* mapping_;
    std::uint32_t access_;
    std::uint64_t offset_;
    platform::MappedMemory memory_;
};
