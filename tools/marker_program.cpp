// marker.exe: stands in for a program that must never be started. When it runs, it appends its
// own path and command line to "marker.log" in its own folder, so a test can tell that it ran.
#include <windows.h>

#include <cstdio>
#include <string>

int main() {
    char self[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameA(nullptr, self, sizeof self);
    if (n == 0 || n >= sizeof self) return 3;
    std::string log(self, n);
    log.resize(log.find_last_of("\\/") + 1);
    log += "marker.log";
    std::FILE* file = std::fopen(log.c_str(), "ab");
    if (file == nullptr) return 4;
    std::fprintf(file, "%s|%s\n", self, ::GetCommandLineA());
    std::fclose(file);
    return 0;
}
