#include <string>

#include "app/program_folder.h"
#include "app/unit1.h"
#include "platform/platform.h"

namespace app {
namespace {

constexpr const char* kResultFileName = "result2.ini";
constexpr const char* kResultSection = "result";

}  // namespace

void TForm1::WriteResult(const std::string& key, const std::string& value) {
    if (!ResultFilePath.empty()) {
        if (!platform::Sys().WritePrivateProfileString(kResultSection, key.c_str(), value.c_str(),
                                                       ResultFilePath.c_str())) {
            throw Error("Unable to write to " + ResultFilePath);
        }
        return;
    }
    // Beside the program, never in the current folder: without the program's path there is
    // nowhere right to write.
    const std::optional<std::string> folder = ProgramFolder();
    const std::string fullPath = folder.value_or(std::string()) + kResultFileName;
    if (!folder || !platform::Sys().WritePrivateProfileString(kResultSection, key.c_str(),
                                                              value.c_str(), fullPath.c_str())) {
        throw Error("Unable to write to " + fullPath);
    }
}

}  // namespace app
