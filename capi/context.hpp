#pragma once
// What every function of the C API shares: the context (limits and the
// outcome of the last call), the recording of that outcome, and the guard
// that keeps C++ exceptions from crossing into C.

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <type_traits>

#include "qm5/qm5.h"

struct qm5_context {
    std::uint64_t maxPixels = 0;  // 0: unbounded, as the setters take them
    std::uint64_t maxPaintWork = 0;
    std::uint64_t maxMemory = 0;
    qm5_status status = QM5_OK;
    qm5_place place = {-1, -1, -1};
    char message[320] = {};
};

namespace qm5::capi {

inline constexpr qm5_place kNowhere = {-1, -1, -1};

// The value of an enum the caller gave, read as the integer it holds: C
// lets any int into an enum object, and a C++ load of an enum outside its
// values is undefined behaviour, so no caller's enum is loaded as one.
template <class Enum>
std::int32_t enumValue(const Enum& value) {
    static_assert(std::is_enum_v<Enum> && sizeof(Enum) == sizeof(std::int32_t));
    std::int32_t raw = 0;
    std::memcpy(&raw, &value, sizeof raw);
    return raw;
}

// A limit as a bound: 0 (unbounded) is the largest value.
inline std::uint64_t bound(std::uint64_t limit) { return limit == 0 ? UINT64_MAX : limit; }

// Records success on ctx (which may be null) and returns QM5_OK.
qm5_status succeed(qm5_context* ctx);
// Records a failure with its place and message on ctx (which may be null)
// and returns status. Without a format, the message is the status's text.
#if defined(__MINGW32__)
__attribute__((format(__MINGW_PRINTF_FORMAT, 4, 5)))  // the C++ runtime's stdio reads %zu there too
#elif defined(__GNUC__)
__attribute__((format(printf, 4, 5)))
#endif
qm5_status
fail(qm5_context* ctx, qm5_status status, qm5_place place, const char* format = nullptr, ...);

// Runs body, a callable returning qm5_status; an exception that escapes it
// (memory the C++ runtime could not allocate) becomes QM5_ERROR_OUT_OF_MEMORY.
template <class Body>
qm5_status guarded(qm5_context* ctx, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return fail(ctx, QM5_ERROR_OUT_OF_MEMORY, kNowhere);
    } catch (...) {
        return fail(ctx, QM5_ERROR_OUT_OF_MEMORY, kNowhere, "out of memory or another resource");
    }
}

}  // namespace qm5::capi
