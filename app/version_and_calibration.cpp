#include <cstdint>
#include <string>

#include "app/unit1.h"
#include "app/version_text.h"
#include "devlink/command_set.h"
#include "devlink/host_interface.h"

namespace app {

void TForm1::QueryVersion() {
    BeginJob(JobKind::kVersion);
    const int handle = OpenDevice();
    if (handle == 0) return;

    LastVersion = ReadDeviceVersion(handle);
    const bool read = LastVersion.has_value();
    // A failed read is the empty version.
    const std::string text = read ? *LastVersion : VersionValue("\0\0\0\0", 4);
    outcome_.failedCall = read ? JobCall::kNone : JobCall::kVersion;
    NoteReleases();
    if (WriteVersionResult) {
        outcome_.end = JobEnd::kResultFileFailed;
        WriteResult("version", text);
    }
    EndJob(read ? JobEnd::kDone : JobEnd::kCallFailed);
    if (!CheckMode && ShowVersionMessage) view_.ShowMessage("The Verision:" + text + "\r\n");
}

std::optional<std::string> TForm1::ReadDeviceVersion(int handle) {
    std::uint8_t work[16] = {};
    // Four version bytes and a terminator. Zeroed first, so a failed read yields the empty
    // version rather than stale bytes.
    char version[5] = {};
    ZamoUSB_VenderCmd_GetData(handle, cmdset::kSelOpen, work, sizeof work);
    const bool read = ZamoUSB_VenderCmd_GetData(handle, cmdset::kSelVersion, version, 4) != 0;
    ZamoUSB_VenderCmd_GetData(handle, cmdset::kSelClose, work, sizeof work);
    // Whatever a failed transfer left behind is not a version. The device's bytes go into an
    // INI line: none of them may end it or open a section.
    if (!read) return std::nullopt;
    return VersionValue(version, 4);
}

void TForm1::SetCalibration() {
    BeginJob(JobKind::kCalibrate);
    const int handle = OpenDevice();
    if (handle == 0) return;

    std::uint8_t work[16] = {};
    const std::uint8_t calibration[16] = {};
    // The calibration command is sent only after a good opening call; the closing call is made
    // in any case.
    JobCall failed = JobCall::kNone;
    if (ZamoUSB_VenderCmd_GetData(handle, cmdset::kSelOpen, work, sizeof work) == 0) {
        failed = JobCall::kOpening;
    } else if (ZamoUSB_VenderCmd_SetData(handle, cmdset::kSelCalibration, calibration, 4) == 0) {
        failed = JobCall::kCalibration;
    }
    const bool closed =
        ZamoUSB_VenderCmd_GetData(handle, cmdset::kSelClose, work, sizeof work) != 0;
    if (failed == JobCall::kNone && !closed) failed = JobCall::kClosing;
    outcome_.failedCall = failed;
    NoteReleases();
    EndJob(failed == JobCall::kNone ? JobEnd::kDone : JobEnd::kCallFailed);
}

}  // namespace app
