#include "cli/streams.hpp"

#include "cli/messages.hpp"
#include "core/file_io.hpp"

namespace qm5::cli {

bool writeOutputFile(const Context& context, const char* name, std::span<const std::uint8_t> bytes) {
    AtomicOutputFile file;
    if (!file.open(name)) {
        fileError(context, name, "cannot be created%s", systemReason(file.error()).c_str());
        return false;
    }
    if (!file.write(bytes.data(), bytes.size()) || !file.commit()) {
        fileError(context, name, "cannot be written%s", systemReason(file.error()).c_str());
        return false;
    }
    return true;
}

}  // namespace qm5::cli
