#include <kilnware/platform/discrecording/DRMSF.h>

namespace kilnware::platform {

namespace {
// Wider fields than this are not a time format; refusing them keeps a hostile format from asking
// for gigabytes of padding.
constexpr std::size_t kMaxWidth = 64;
}  // namespace

std::string DRMSF::descriptionWithFormat(std::string_view format) const {
    std::string out;
    std::size_t i = 0;
    while (i < format.size()) {
        if (format[i] != '%') {
            out += format[i++];
            continue;
        }
        const std::size_t start = i++;
        if (i < format.size() && format[i] == '%') {
            out += '%';
            ++i;
            continue;
        }
        const bool zeroPad = i < format.size() && format[i] == '0';
        if (zeroPad) {
            ++i;
        }
        std::size_t width = 0;
        while (i < format.size() && format[i] >= '0' && format[i] <= '9' && width <= kMaxWidth) {
            width = width * 10 + static_cast<std::size_t>(format[i] - '0');
            ++i;
        }
        std::uint32_t value = 0;
        bool known = width <= kMaxWidth && i < format.size();
        if (known) {
            switch (format[i]) {
                case 'm':
                    value = minutes();
                    break;
                case 's':
                    value = seconds();
                    break;
                case 'f':
                    value = frames();
                    break;
                default:
                    known = false;
                    break;
            }
        }
        if (!known) {
            // Copy the directive's text so far; the loop carries on after it.
            out.append(format.substr(start, i - start));
            continue;
        }
        ++i;
        const std::string digits = std::to_string(value);
        if (digits.size() < width) {
            out.append(width - digits.size(), zeroPad ? '0' : ' ');
        }
        out += digits;
    }
    return out;
}

}  // namespace kilnware::platform
