// The conversion of dmesg's coloured output: any bytes, cut into reads anywhere, convert to the same text as
// in one read, and never read outside the input.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "eventpoll.h"
#include "kernellog.h"

namespace {
std::string convert(std::string const& text, std::size_t cut1, std::size_t cut2) {
    static EventPoll poll;
    KernelLog log(poll);
    std::size_t cuts[] = {0, cut1, cut2, text.size()};
    for (int i = 0; i < 3; ++i)
        log.convert(text.data() + cuts[i], cuts[i + 1] - cuts[i]);
    return log.text();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, std::size_t size) {
    if (size < 2)
        return 0;
    // A read ends at its first NUL byte, so a cut through the text must not see one.
    std::string text(reinterpret_cast<char const*>(data) + 2, size - 2);
    for (char& c : text)
        if (c == 0)
            c = ' ';
    std::size_t cut1 = text.empty() ? 0 : data[0] % (text.size() + 1);
    std::size_t cut2 = cut1 + (text.size() - cut1 == 0 ? 0 : data[1] % (text.size() - cut1 + 1));
    if (convert(text, cut1, cut2) != convert(text, 0, 0))
        abort();
    return 0;
}
