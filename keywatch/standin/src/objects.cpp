// Reference counting, the default allocator and constant strings.
#include "cf_string.h"

#include <map>
#include <mutex>

using standin::Object;

namespace {

Object* asObject(CFTypeRef cf) { return static_cast<Object*>(const_cast<void*>(cf)); }

// Constant strings live as long as the process, as literals do.
class ConstantStrings {
public:
    CFStringRef get(const char* text)
    {
        std::lock_guard lock(mutex_);
        auto found = strings_.find(text);
        if (found != strings_.end())
            return found->second;
        CFStringRef made = Object::create<__CFString>(text);
        strings_.emplace(text, made);
        return made;
    }

private:
    std::mutex mutex_;
    std::map<std::string, CFStringRef, std::less<>> strings_;
};

ConstantStrings& constantStrings()
{
    static auto* strings = std::make_unique<ConstantStrings>().release();
    return *strings;
}

} // namespace

extern "C" {

const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFRunLoopMode kCFRunLoopDefaultMode = CFSTR("kCFRunLoopDefaultMode");
const CFRunLoopMode kCFRunLoopCommonModes = CFSTR("kCFRunLoopCommonModes");

CFTypeRef CFRetain(CFTypeRef cf)
{
    if (cf)
        asObject(cf)->retain();
    return cf;
}

void CFRelease(CFTypeRef cf)
{
    if (cf)
        asObject(cf)->release();
}

CFIndex CFGetRetainCount(CFTypeRef cf) { return cf ? asObject(cf)->retainCount() : 0; }

CFStringRef __CFStringMakeConstantString(const char* cStr)
{
    return constantStrings().get(cStr ? cStr : "");
}

} // extern "C"

namespace standin {

const std::string& modeName(CFStringRef mode)
{
    static const std::string none;
    return mode ? mode->text : none;
}

} // namespace standin
