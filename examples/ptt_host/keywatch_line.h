// What one line of keywatch means to this host.
#pragma once

#include <string>

namespace ptthost {

struct KeywatchLine {
    enum class Kind {
        Ready,       // ok: the tap is installed
        Failed,      // err: no tap could be installed; keywatch exits
        CapsDown,    // cd
        CapsUp,      // cu
        Heartbeat,   // hb, every 2 s
        KeysReset,   // re, rs: key state cleared without release lines
        Notice,      // other tap news, worth a log line
        Ignored,     // keys this host does not use (Shift layer, modifiers, watched keys)
        Unreadable,  // not a keywatch line at all
    };
    Kind kind = Kind::Unreadable;
    int tap = -1;          // Ready, Heartbeat: the tap kind
    bool tapValid = true;  // Heartbeat: whether a working tap exists
    bool stuck = false;    // CapsUp: released by keywatch's stuck-key watchdog
    std::string text;      // Ready, Failed, KeysReset, Notice, Unreadable: words to print
};

KeywatchLine readKeywatchLine(const std::string& line);

}  // namespace ptthost
