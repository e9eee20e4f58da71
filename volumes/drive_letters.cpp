// Drive-letter snapshots: the first character of each drive root, in the platform's order.
#include "volumes/volume_discovery.h"

namespace vxd::volumes {
namespace {

int LowerCase(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

} // namespace

void AppendDriveLetters(std::string &letters) {
    char roots[kRootBufferSize] = {};
    const platform::DWORD written = platform::GetLogicalDriveStringsA(kRootBufferSize, roots);
    // 0 is a failure and a result past the buffer means it did not fit: either way the
    // platform wrote nothing, so the snapshot is empty rather than read from stale bytes.
    if (written == 0 || written >= kRootBufferSize) {
        return;
    }
    for (std::size_t position = 0; position < written; position += kRootEntryStride) {
        if (roots[position] == '\0') {
            break;
        }
        letters.push_back(roots[position]);
    }
}

int CompareLettersIgnoringCase(const std::string &left, const std::string &right) {
    const std::size_t common = left.size() < right.size() ? left.size() : right.size();
    for (std::size_t i = 0; i < common; ++i) {
        const int difference = LowerCase(static_cast<unsigned char>(left[i])) -
                               LowerCase(static_cast<unsigned char>(right[i]));
        if (difference != 0) {
            return difference;
        }
    }
    if (left.size() == right.size()) {
        return 0;
    }
    return left.size() < right.size() ? -1 : 1;
}

std::string LettersAdded(const std::string &oldLetters, const std::string &newLetters) {
    std::string added;
    for (const char letter : newLetters) {
        // Exact match on purpose: only the change test ignores case.
        if (oldLetters.empty() || oldLetters.find(letter) == std::string::npos) {
            added.push_back(letter);
        }
    }
    return added;
}

} // namespace vxd::volumes
