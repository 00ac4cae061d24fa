#include "keywatch_lines.h"

#include <algorithm>

namespace testsupport {

using std::chrono::milliseconds;

bool isHeartbeat(const std::string& line)
{
    return line.rfind("{\"t\":\"hb\"", 0) == 0;
}

std::optional<std::string> readOkLine(Child& keywatch, milliseconds timeout, std::string* error)
{
    auto ok = keywatch.readLine(timeout);
    if (ok && ok->rfind("{\"t\":\"ok\"", 0) == 0) {
        return ok;
    }
    if (error != nullptr) {
        *error = "no ok line: " + ok.value_or("(none)") + "; stderr: " + keywatch.readStderr(milliseconds(100));
    }
    return std::nullopt;
}

std::optional<std::string> nextEventLine(Child& keywatch, milliseconds timeout, std::vector<std::string>* skipped)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
        auto next = keywatch.readLine(std::max(left, milliseconds(0)));
        if (!next || !isHeartbeat(*next)) {
            return next;
        }
        if (skipped != nullptr) {
            skipped->push_back(std::move(*next));
        }
    }
}

}  // namespace testsupport
