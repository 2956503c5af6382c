#include "msg/error_text.h"

#include <stdio.h>
#include <string.h>

namespace {

// strerror_r is the XSI form (int) or the GNU form (char*) depending on the C
// library; both are handled.
[[maybe_unused]] const char* chosen_text(int result, const char* buffer) { return result == 0 ? buffer : nullptr; }
[[maybe_unused]] const char* chosen_text(const char* result, const char*) { return result; }

}  // namespace

ErrorText error_text(int error) {
    ErrorText out{};
    char buffer[sizeof out.text] = {};
    const char* text = chosen_text(strerror_r(error, buffer, sizeof buffer), buffer);
    if (text == nullptr) {
        snprintf(out.text, sizeof out.text, "Unknown error %d", error);
    } else {
        snprintf(out.text, sizeof out.text, "%s", text);
    }
    return out;
}
