#pragma once
// The one reading interface of every engine: positional, thread-safe, and a
// read never fails. Unreadable bytes come back as zeros and are counted.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/common/Bytes.h"
#include "engine/common/Error.h"

namespace tamsel {

struct BadRange {
    std::int64_t offset = 0;
    std::int64_t length = 0;
    friend bool operator==(const BadRange&, const BadRange&) = default;
};

class RandomAccessSource {
public:
    virtual ~RandomAccessSource() = default;

    virtual std::int64_t size() const = 0;
    virtual std::int64_t badBytes() const = 0;
    virtual const std::string& displayName() const = 0;
    // Exactly min(count, size - offset) bytes for an offset inside the
    // source and count >= 1; otherwise empty.
    virtual Bytes pread(std::int64_t offset, std::int64_t count) = 0;
    virtual std::shared_ptr<RandomAccessSource> duplicate() = 0;
    virtual void close() = 0;
};

class SourceOpenError : public Error {
public:
    enum class Kind { unreadableFormat };
    static SourceOpenError unreadableFormat(const std::string& name) {
        return SourceOpenError(Kind::unreadableFormat, name);
    }
    Kind kind() const { return kind_; }
    const std::string& name() const { return name_; }

private:
    SourceOpenError(Kind kind, const std::string& name)
        : Error(name + " は読み取れる形式ではありません。"), kind_(kind), name_(name) {}
    Kind kind_;
    std::string name_;
};

// Opens what the user picked (a device node or an image file) with 2 retries.
std::shared_ptr<RandomAccessSource> openRandomAccessSource(const std::string& path);

}  // namespace tamsel
