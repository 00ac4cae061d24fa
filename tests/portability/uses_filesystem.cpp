// Builds for macOS 10.15 and later only: proves the check refuses
// std::filesystem for 10.14.
#include <filesystem>

int main()
{
    return std::filesystem::path("a/b").has_parent_path() ? 0 : 1;
}
