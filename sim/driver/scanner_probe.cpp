// Console probe for the scanner driver: opens "\\.\USBSCAN0" the way the tool does and talks to
// it, either with raw Bulk-Only Transport exchanges framed here, or through the device link's
// host calls (the service protocol with its named event, exactly as the tool runs it); speaks
// SCSI pass-through to the removable drive; and reaches the driver's private controls through
// its control device, whichever presentations are on. Output is one line per fact, for scripts
// to grep.
//
//   scanner-probe [descriptor]        the device descriptor
//   scanner-probe identity            this handle's number and process as the driver sees them
//   scanner-probe tag                 the tag query (FF 02) as one raw exchange
//   scanner-probe service CODE        one raw service command (3 IsLock .. 6 UnLock)
//   scanner-probe refused             a command the device refuses, then its REQUEST SENSE
//   scanner-probe interleave          two handles whose exchanges interleave call by call
//   scanner-probe getversion [N]      N version queries through the host calls
//   scanner-probe update FILE         a firmware update from FILE through the host calls
//   scanner-probe memory ADDR LEN OUT device memory into the file OUT
//   scanner-probe log [FROM]          the driver's exchange log, one line per exchange
//   scanner-probe clear-log           forget the exchanges logged so far
//   scanner-probe status              the driver's counters
//   scanner-probe set NAME=VALUE...   VendorId, ProductId, Version, WorkMs, NeverFinishes,
//                                     Readiness, AnswersTagQuery
//   scanner-probe faults [FAULT...]   the faults to commit (none: an honest scanner again), each
//                                     KIND:CMD:N[:VALUE]: KIND refuse, short-csw, short-data,
//                                     corrupt-write or hold (its caller waits for release);
//                                     CMD bytes 10..12 of the vendor command in hex (020305:
//                                     a firmware block); N the matching exchange it fires at
//                                     (from 1); VALUE the CSW bytes (short-csw), data
//                                     bytes (short-data, 0: half) or the block's byte offset
//                                     (corrupt-write); or the simulator's lie text
//                                     corrupt-write=OFFSET[@CMD0-CMD1-SELECTOR[#N]]
//   scanner-probe release             answers the request a hold keeps waiting ("released=N")
//   scanner-probe disk LETTER         the drive's type, a tag query by pass-through, and records
//                                     the driver must refuse (wrong layout, unreachable buffer)
// `scanner-probe --scanner N COMMAND ...` speaks to scanner N of the driver: its controls and its
// still-image device "\\.\USBSCAN<N>" (the host-call commands always take USBSCAN0).
// Exit status: 0 success, 1 the device answered wrongly, 2 bad usage or no device.
#include <windows.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "devlink/command_set.h"
#include "devlink/host_interface.h"
#include "platform/device_io.h"
#include "platform/win32/install_win32.h"
#include "sim/driver/driver_interface.h"
#include "sim/lie_text.h"

namespace {

namespace drv = scanner_driver;

constexpr DWORD kIoctlGetDeviceDescriptor = 0x80002018u;
constexpr DWORD kIoctlScsiPassThroughDirect = 0x0004D014u;
constexpr const char* kDeviceName = "\\\\.\\USBSCAN0";

// The one owner of a device handle.
class Device {
  public:
    explicit Device(const char* name = kDeviceName)
        : h_(::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr)) {}
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    ~Device() {
        if (valid()) ::CloseHandle(h_);
    }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return h_; }

    bool Control(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen,
                 DWORD* returned) const {
        DWORD dummy = 0;
        return ::DeviceIoControl(h_, code, const_cast<void*>(in), inLen, out, outLen,
                                 returned ? returned : &dummy, nullptr) != 0;
    }
    bool Write(const void* data, DWORD len, DWORD* done) const {
        return ::WriteFile(h_, data, len, done, nullptr) != 0;
    }
    bool Read(void* buf, DWORD len, DWORD* done) const {
        return ::ReadFile(h_, buf, len, done, nullptr) != 0;
    }

  private:
    HANDLE h_;
};

// The one owner of a C stream.
class File {
  public:
    File(const char* name, const char* mode) : f_(std::fopen(name, mode)) {}
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File() {
        if (f_) std::fclose(f_);
    }
    std::FILE* get() const { return f_; }

  private:
    std::FILE* f_;
};

bool ParseNumber(const char* text, unsigned long long max, unsigned long long* value) {
    if (text == nullptr || *text == '\0') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || v > max || text[0] == '-') return false;
    *value = v;
    return true;
}

void PutLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t GetLe32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

// --- Raw Bulk-Only Transport -----------------------------------------------------------------

struct BotResult {
    bool transported = false;  // all three phases went through and the CSW echoed the tag
    std::uint8_t status = 0xFF;
    DWORD moved = 0;
};

// A host-side exchange; `tag` distinguishes the handles of one process in the interleave test.
class BotHost {
  public:
    BotHost(const Device& dev, std::uint32_t firstTag) : dev_(dev), tag_(firstTag) {}

    bool SendCbw(const std::uint8_t cdb[16], std::uint8_t flags, std::uint32_t length) {
        std::memset(cbw_, 0, sizeof cbw_);
        std::memcpy(cbw_, cmdset::kCbwSignature, 4);
        PutLe32(cbw_ + 4, ++tag_);
        PutLe32(cbw_ + 8, length);
        cbw_[12] = flags;
        cbw_[14] = 16;
        std::memcpy(cbw_ + 15, cdb, 16);
        DWORD done = 0;
        return dev_.Write(cbw_, sizeof cbw_, &done) && done == sizeof cbw_;
    }

    bool Data(std::uint8_t flags, std::uint8_t* buf, std::uint32_t length, DWORD* moved) {
        return flags == cmdset::kCbwFlagsIn ? dev_.Read(buf, length, moved)
                                            : dev_.Write(buf, length, moved);
    }

    bool Status(std::uint8_t* status) {
        std::uint8_t csw[13] = {};
        DWORD done = 0;
        if (!dev_.Read(csw, sizeof csw, &done) || done != sizeof csw) return false;
        if (std::memcmp(csw, cmdset::kCswSignature, 4) != 0 ||
            std::memcmp(csw + 4, cbw_ + 4, 4) != 0) {
            std::printf("bad CSW: signature or tag %08X (sent %08X)\n", GetLe32(csw + 4),
                        GetLe32(cbw_ + 4));
            return false;
        }
        *status = csw[12];
        return true;
    }

    BotResult Exchange(const std::uint8_t cdb[16], std::uint8_t flags, std::uint8_t* buf,
                       std::uint32_t length) {
        BotResult r;
        if (!SendCbw(cdb, flags, length) || !Data(flags, buf, length, &r.moved)) return r;
        r.transported = Status(&r.status);
        return r;
    }

    bool RequestSense(std::uint8_t sense[18]) {
        std::uint8_t cdb[16] = {cmdset::kScsiRequestSense, 0, 0, 0, 18};
        const BotResult r = Exchange(cdb, cmdset::kCbwFlagsIn, sense, 18);
        return r.transported && r.moved == 18;
    }

  private:
    const Device& dev_;
    std::uint32_t tag_;
    std::uint8_t cbw_[31] = {};
};

void VendorCdb(std::uint8_t cdb[16], std::uint32_t length, std::uint8_t c0, std::uint8_t c1,
               std::uint8_t c2 = 0) {
    std::memset(cdb, 0, 16);
    cdb[0] = cmdset::kOpCodeVendor;
    cdb[1] = cmdset::kCdbByte1;
    for (int i = 0; i < 4; ++i) cdb[6 + i] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
    cdb[10] = c0;
    cdb[11] = c1;
    cdb[12] = c2;
}

bool TagQuery(BotHost& bot, char tag[5]) {
    std::uint8_t cdb[16];
    VendorCdb(cdb, 4, cmdset::kLinkCommand, cmdset::kTagQuery);
    std::uint8_t reply[4] = {};
    const BotResult r = bot.Exchange(cdb, cmdset::kCbwFlagsIn, reply, 4);
    std::memcpy(tag, reply, 4);
    tag[4] = '\0';
    return r.transported && r.status == 0 && r.moved == 4;
}

bool ServiceCommand(BotHost& bot, std::uint8_t code, std::uint32_t* size, std::uint32_t* result) {
    std::uint8_t cdb[16];
    VendorCdb(cdb, 16, cmdset::kLinkCommand, code);
    std::uint8_t reply[16] = {};
    const BotResult r = bot.Exchange(cdb, cmdset::kCbwFlagsIn, reply, 16);
    *size = GetLe32(reply);
    *result = GetLe32(reply + 8);
    return r.transported && r.status == 0 && r.moved == 16;
}

// --- Commands --------------------------------------------------------------------------------

int PrintDescriptor(const Device& dev) {
    std::uint8_t desc[8] = {};
    DWORD returned = 0;
    if (!dev.Control(kIoctlGetDeviceDescriptor, desc, sizeof desc, desc, sizeof desc, &returned)) {
        std::printf("descriptor request failed: error %lu\n", ::GetLastError());
        return 1;
    }
    auto word = [&](int i) { return static_cast<unsigned>(desc[2 * i] | (desc[2 * i + 1] << 8)); };
    std::printf("bytes=%lu vid=0x%04X pid=0x%04X bcd=0x%04X lang=0x%04X\n", returned, word(0),
                word(1), word(2), word(3));
    return 0;
}

int PrintIdentity(const Device& dev) {
    drv::Identity id{};
    if (!dev.Control(drv::kIoctlIdentity, nullptr, 0, &id, sizeof id, nullptr)) {
        std::printf("identity request failed: error %lu\n", ::GetLastError());
        return 1;
    }
    std::printf("open=%u pid=%u own-pid=%lu\n", id.openId, id.processId, ::GetCurrentProcessId());
    return 0;
}

int RunTag(const Device& dev) {
    BotHost bot(dev, 0);
    char tag[5];
    const bool ok = TagQuery(bot, tag);
    std::printf("tag=%s ok=%d\n", tag, ok ? 1 : 0);
    return ok ? 0 : 1;
}

int RunService(const Device& dev, const char* codeText) {
    unsigned long long code = 0;
    if (!ParseNumber(codeText, 0xFF, &code)) {
        std::printf("service needs a command code (3 to 6)\n");
        return 2;
    }
    BotHost bot(dev, 0);
    std::uint32_t size = 0, result = 0;
    const bool ok = ServiceCommand(bot, static_cast<std::uint8_t>(code), &size, &result);
    std::printf("service=%02llX size=%u result=%u ok=%d\n", code, size, result, ok ? 1 : 0);
    return ok ? 0 : 1;
}

int RunRefused(const Device& dev) {
    BotHost bot(dev, 0);
    std::uint8_t cdb[16];
    VendorCdb(cdb, 4, 0x7E, 0x7E);  // no such command family
    std::uint8_t reply[4] = {};
    const BotResult r = bot.Exchange(cdb, cmdset::kCbwFlagsIn, reply, 4);
    std::uint8_t sense[18] = {};
    const bool sensed = bot.RequestSense(sense);
    std::printf("refused status=%u sense-key=0x%02X asc=0x%02X ok=%d\n", r.status, sense[2],
                sense[12], r.transported && sensed ? 1 : 0);
    return r.transported && r.status == 1 && sensed ? 0 : 1;
}

// Two handles of this process interleave their exchanges phase by phase, and a failed command's
// sense must survive another handle's passing command: the device keeps both apart.
int RunInterleave() {
    Device a, b;
    if (!a.valid() || !b.valid()) {
        std::printf("cannot open two handles: error %lu\n", ::GetLastError());
        return 2;
    }
    BotHost hostA(a, 0x1000), hostB(b, 0x2000);
    int failures = 0;
    auto check = [&](bool ok, const char* what) {
        std::printf("%s %s\n", ok ? "ok" : "FAILED", what);
        if (!ok) ++failures;
    };

    std::uint8_t cdb[16];
    // A: CBW of the tag query; B: a whole finish check; A: data and CSW.
    VendorCdb(cdb, 4, cmdset::kLinkCommand, cmdset::kTagQuery);
    check(hostA.SendCbw(cdb, cmdset::kCbwFlagsIn, 4), "A sends the tag query's CBW");
    std::uint32_t size = 0, result = 0;
    check(ServiceCommand(hostB, cmdset::kServiceIsFinish, &size, &result) && size == 16,
          "B's finish check completes between A's CBW and A's data phase");
    std::uint8_t tag[4] = {};
    DWORD moved = 0;
    std::uint8_t status = 0xFF;
    check(hostA.Data(cmdset::kCbwFlagsIn, tag, 4, &moved) && moved == 4 &&
              std::memcmp(tag, cmdset::kVendorTag, 4) == 0,
          "A reads ZAMO");
    check(hostA.Status(&status) && status == 0, "A's CSW echoes A's tag with status 0");

    // A: a refused command; B: a passing one; A: REQUEST SENSE still gets A's sense.
    VendorCdb(cdb, 4, 0x7E, 0x7E);
    const BotResult refused = hostA.Exchange(cdb, cmdset::kCbwFlagsIn, tag, 4);
    check(refused.transported && refused.status == 1, "A's unknown command fails");
    char tagB[5];
    check(TagQuery(hostB, tagB) && std::strcmp(tagB, "ZAMO") == 0, "B's tag query passes");
    std::uint8_t sense[18] = {};
    check(hostA.RequestSense(sense) && sense[2] == 0x05 && sense[12] == 0x24,
          "A's REQUEST SENSE reports A's failure (0x05/0x24)");
    return failures == 0 ? 0 : 1;
}

int RunGetVersion(const char* countText) {
    unsigned long long count = 1;
    if (countText && !ParseNumber(countText, 100000, &count)) {
        std::printf("getversion needs a count\n");
        return 2;
    }
    platform::win32::InstallWin32();
    int failures = 0;
    for (unsigned long long i = 0; i < count; ++i) {
        const int h = ZamoUSB_FindDevice();
        if (h == 0 || !ZamoUSB_ConnectToDevice(h)) {
            std::printf("no device (handle %d)\n", h);
            return 2;
        }
        std::uint8_t open[16] = {}, version[5] = {}, close[16] = {};
        const bool ok = ZamoUSB_VenderCmd_GetData(h, cmdset::kSelOpen, open, 16) &&
                        ZamoUSB_VenderCmd_GetData(h, cmdset::kSelVersion, version, 4) &&
                        ZamoUSB_VenderCmd_GetData(h, cmdset::kSelClose, close, 16);
        std::printf("version=%s ok=%d\n", reinterpret_cast<const char*>(version), ok ? 1 : 0);
        if (!ok) ++failures;
    }
    return failures == 0 ? 0 : 1;
}

// The tool's firmware update in its device traffic: address and block for each 64 KiB from
// 0x4000 upward, then the finishing value.
int RunUpdate(const char* path) {
    File f(path, "rb");
    if (f.get() == nullptr) {
        std::printf("cannot open %s\n", path);
        return 2;
    }
    std::vector<std::uint8_t> image;
    std::uint8_t chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f.get())) != 0;)
        image.insert(image.end(), chunk, chunk + n);

    platform::win32::InstallWin32();
    const int h = ZamoUSB_FindDevice();
    if (h == 0 || !ZamoUSB_ConnectToDevice(h)) {
        std::printf("no device (handle %d)\n", h);
        return 2;
    }
    bool ok = true;
    std::size_t blocks = 0;
    for (std::size_t at = 0; at < image.size(); at += cmdset::DEFAULT_SIZE_BLUK_WRITE, ++blocks) {
        const auto address = static_cast<std::uint32_t>(cmdset::kFirmwareBaseAddress + at);
        const std::uint8_t be[4] = {
            static_cast<std::uint8_t>(address >> 24), static_cast<std::uint8_t>(address >> 16),
            static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)};
        const std::size_t rest = image.size() - at;
        const auto len = static_cast<std::uint32_t>(
            rest < cmdset::DEFAULT_SIZE_BLUK_WRITE ? rest : cmdset::DEFAULT_SIZE_BLUK_WRITE);
        ok = ZamoUSB_VenderCmd_SetData(h, cmdset::kSelAddress, be, 4) && ok;
        ok = ZamoUSB_VenderCmd_SetData(h, cmdset::kSelFirmware, image.data() + at, len) && ok;
    }
    const std::uint8_t finishing[4] = {0, 0, 0, 1};
    ok = ZamoUSB_VenderCmd_SetData(h, cmdset::kSelVersion, finishing, 4) && ok;
    std::printf("update bytes=%zu blocks=%zu ok=%d\n", image.size(), blocks, ok ? 1 : 0);
    return ok ? 0 : 1;
}

int RunMemory(const Device& dev, int argc, char** argv) {
    unsigned long long address = 0, length = 0;
    if (argc != 3 || !ParseNumber(argv[0], 0xFFFFFFFFull, &address) ||
        !ParseNumber(argv[1], 0xFFFFFFFFull, &length)) {
        std::printf("memory needs ADDR LEN OUT\n");
        return 2;
    }
    File out(argv[2], "wb");
    if (out.get() == nullptr) {
        std::printf("cannot write %s\n", argv[2]);
        return 2;
    }
    std::vector<std::uint8_t> buf(drv::kMaxMemoryRead);
    while (length != 0) {
        const auto n =
            static_cast<std::uint32_t>(length < drv::kMaxMemoryRead ? length : drv::kMaxMemoryRead);
        const drv::MemoryQuery q{static_cast<std::uint32_t>(address), n};
        DWORD returned = 0;
        if (!dev.Control(drv::kIoctlReadMemory, &q, sizeof q, buf.data(), n, &returned) ||
            returned != n || std::fwrite(buf.data(), 1, n, out.get()) != n) {
            std::printf("memory read failed at 0x%llX: error %lu\n", address, ::GetLastError());
            return 1;
        }
        address += n;
        length -= n;
    }
    return 0;
}

int RunLog(const Device& dev, const char* fromText) {
    unsigned long long from = 1;
    if (fromText && !ParseNumber(fromText, 0xFFFFFFFFull, &from)) {
        std::printf("log needs a sequence number\n");
        return 2;
    }
    constexpr std::uint32_t kBatch = 512;
    std::vector<std::uint8_t> buf(sizeof(drv::LogReply) + kBatch * sizeof(drv::ExchangeRecord));
    for (;;) {
        const drv::LogQuery q{static_cast<std::uint32_t>(from)};
        DWORD returned = 0;
        if (!dev.Control(drv::kIoctlReadLog, &q, sizeof q, buf.data(),
                         static_cast<DWORD>(buf.size()), &returned)) {
            std::printf("log request failed: error %lu\n", ::GetLastError());
            return 1;
        }
        drv::LogReply reply;
        std::memcpy(&reply, buf.data(), sizeof reply);
        for (std::uint32_t i = 0; i < reply.count; ++i) {
            drv::ExchangeRecord r;
            std::memcpy(&r, buf.data() + sizeof reply + i * sizeof r, sizeof r);
            std::printf("seq=%u open=%u pid=%u start=%u end=%u cdb=", r.seq, r.openId, r.processId,
                        r.startTick, r.endTick);
            for (std::uint8_t b : r.cdb) std::printf("%02X", b);
            std::printf(" dir=%s len=%u moved=%u status=%u outcome=%u digest=%08X head=",
                        r.deviceToHost ? "in" : "out", r.length, r.moved, r.status, r.outcome,
                        r.digest);
            for (unsigned k = 0; k < r.headCount; ++k) std::printf("%02X", r.head[k]);
            std::printf(" path=%s fault=%u csw=%u reported=%u timeout=%u sense=",
                        r.path == drv::kPathDisk ? "disk" : "still-image", r.fault, r.cswLength,
                        r.reported, r.timeoutSeconds);
            for (unsigned k = 0; k < r.senseLength && k < sizeof r.sense; ++k)
                std::printf("%02X", r.sense[k]);
            if (r.senseLength == 0) std::printf("-");
            std::printf("\n");
            from = r.seq + 1ull;
        }
        if (reply.count == 0 || from >= reply.nextSeq) return 0;
    }
}

int RunStatus(const Device& dev) {
    drv::DriverStatus st{};
    if (!dev.Control(drv::kIoctlStatus, nullptr, 0, &st, sizeof st, nullptr)) {
        std::printf("status request failed: error %lu\n", ::GetLastError());
        return 1;
    }
    std::printf(
        "memory=%u open=%u exchanges=%u protocol-errors=%u locked=%u busy=%u address=0x%X "
        "firmware-blocks=%u firmware-bytes=%llu finishing=%u last-finishing=%u calibrations=%u "
        "version-reads=%u memory-reads=%u locks-granted=%u locks-refused=%u unlocks=%u "
        "still-image-opens=%u disk-opens=%u malformed-records=%u unreachable-buffers=%u "
        "faults=%u caller-memory=%u last-open=0x%08X last-read=0x%08X last-write=0x%08X "
        "held=%u\n",
        st.memorySize, st.openHandles, st.exchanges, st.protocolErrors, st.locked, st.busy,
        st.address, st.firmwareBlocks, static_cast<unsigned long long>(st.firmwareBytes),
        st.finishingValues, st.lastFinishingValue, st.calibrations, st.versionReads, st.memoryReads,
        st.locksGranted, st.locksRefused, st.unlocks, st.stillImageOpens, st.diskOpens,
        st.malformedRecords, st.unreachableBuffers, st.faultsCommitted, st.callerMemoryRoutines,
        st.lastProcessOpen, st.lastMemoryRead, st.lastMemoryWrite, st.heldRequests);
    return 0;
}

// A fault in the simulator's lie text, for the lies the driver commits by command:
// corrupt-write=OFFSET[@CMD0-CMD1-SELECTOR[#N]].
bool ParseLieText(const char* text, drv::FaultEntry* e) {
    std::string why;
    const std::optional<sim::Fault> fault = sim::ParseLie(text, &why);
    if (!fault) {
        std::printf("%s\n", why.c_str());
        return false;
    }
    if (fault->kind != sim::FaultKind::kWriteCorrupts || fault->exchange || fault->cmd0 < 0 ||
        fault->cmd1 < 0 || fault->selector < 0 || fault->times != 1) {
        std::printf("the driver commits only corrupt-write, placed by its command\n");
        return false;
    }
    *e = drv::FaultEntry{};
    e->kind = drv::kFaultCorruptWrite;
    e->command[0] = static_cast<std::uint8_t>(fault->cmd0);
    e->command[1] = static_cast<std::uint8_t>(fault->cmd1);
    e->command[2] = static_cast<std::uint8_t>(fault->selector);
    e->occurrence = fault->skip + 1;
    e->value = fault->value;
    return true;
}

// One fault as KIND:CMD:N[:VALUE], or as lie text.
bool ParseFault(const char* text, drv::FaultEntry* e) {
    const std::string t(text);
    std::vector<std::string> parts;
    for (std::size_t at = 0;;) {
        const std::size_t colon = t.find(':', at);
        parts.push_back(t.substr(at, colon == std::string::npos ? std::string::npos : colon - at));
        if (colon == std::string::npos) break;
        at = colon + 1;
    }
    if (parts.size() == 1) return ParseLieText(text, e);
    if (parts.size() < 3 || parts.size() > 4) return false;
    *e = drv::FaultEntry{};
    if (parts[0] == "corrupt-write") {
        e->kind = drv::kFaultCorruptWrite;
    } else if (parts[0] == "refuse") {
        e->kind = drv::kFaultRefuse;
    } else if (parts[0] == "short-csw") {
        e->kind = drv::kFaultRefuseShortCsw;
    } else if (parts[0] == "short-data") {
        e->kind = drv::kFaultShortData;
    } else if (parts[0] == "hold") {
        e->kind = drv::kFaultHold;
    } else {
        return false;
    }
    if (parts[1].size() != 6) return false;
    for (int i = 0; i < 3; ++i) {
        unsigned long long b = 0;
        if (!ParseNumber(("0x" + parts[1].substr(2 * i, 2)).c_str(), 0xFF, &b)) return false;
        e->command[i] = static_cast<std::uint8_t>(b);
    }
    unsigned long long n = 0, value = 0;
    if (!ParseNumber(parts[2].c_str(), 0xFFFFFFFF, &n) || n == 0) return false;
    if (parts.size() == 4 && !ParseNumber(parts[3].c_str(), 0xFFFFFFFF, &value)) return false;
    e->occurrence = static_cast<std::uint32_t>(n);
    e->value = static_cast<std::uint32_t>(value);
    // A refusal says why as a device refusing an unknown field would.
    e->senseKey = 0x05;
    e->asc = 0x24;
    return true;
}

int RunFaults(const Device& dev, int argc, char** argv) {
    drv::FaultTable table{};
    if (argc > static_cast<int>(drv::kMaxFaults)) {
        std::printf("at most %u faults\n", drv::kMaxFaults);
        return 2;
    }
    for (int i = 0; i < argc; ++i) {
        if (!ParseFault(argv[i], &table.entries[table.count])) {
            std::printf("bad fault '%s'\n", argv[i]);
            return 2;
        }
        ++table.count;
    }
    if (!dev.Control(drv::kIoctlSetFaults, &table, sizeof table, nullptr, 0, nullptr)) {
        std::printf("faults request failed: error %lu\n", ::GetLastError());
        return 1;
    }
    std::printf("faults=%u\n", table.count);
    return 0;
}

// --- The removable drive ---------------------------------------------------------------------

// The record the tool sends, in this process's own layout.
using PassThroughRecord = platform::ScsiPassThroughRecord;

void FillTagQuery(PassThroughRecord& r, std::uint8_t* reply) {
    std::memset(&r, 0, sizeof r);
    r.sptd.Length = sizeof r.sptd;
    r.sptd.CdbLength = 16;
    r.sptd.SenseInfoLength = sizeof r.ucSenseBuf;
    r.sptd.DataIn = 1;
    r.sptd.DataTransferLength = 4;
    r.sptd.TimeOutValue = 2;
    r.sptd.DataBuffer = reply;
    r.sptd.SenseInfoOffset = offsetof(PassThroughRecord, ucSenseBuf);
    VendorCdb(r.sptd.Cdb, 4, cmdset::kLinkCommand, cmdset::kTagQuery);
}

bool SendRecord(const Device& dev, PassThroughRecord& r, DWORD* returned) {
    return dev.Control(kIoctlScsiPassThroughDirect, &r, sizeof r, &r, sizeof r, returned);
}

int RunDisk(const char* letterText) {
    if (letterText == nullptr || std::strlen(letterText) != 1) {
        std::printf("disk needs a drive letter\n");
        return 2;
    }
    const char letter = letterText[0];
    const char root[] = {letter, ':', '\\', '\0'};
    const char name[] = {'\\', '\\', '.', '\\', letter, ':', '\0'};
    std::printf("drive-type=%u\n", ::GetDriveTypeA(root));
    Device dev(name);
    if (!dev.valid()) {
        std::printf("cannot open %s: error %lu\n", name, ::GetLastError());
        return 2;
    }
    int failures = 0;
    PassThroughRecord r;
    std::uint8_t reply[4] = {};
    FillTagQuery(r, reply);
    DWORD returned = 0;
    const bool sent = SendRecord(dev, r, &returned);
    const bool tagOk = sent && r.sptd.ScsiStatus == 0 && r.sptd.DataTransferLength == 4 &&
                       std::memcmp(reply, cmdset::kVendorTag, 4) == 0;
    std::printf("tag=%.4s scsi-status=%u moved=%u returned=%lu ok=%d\n",
                reinterpret_cast<const char*>(reply), r.sptd.ScsiStatus, r.sptd.DataTransferLength,
                returned, tagOk ? 1 : 0);
    if (!tagOk) ++failures;

    // A command the device refuses answers CHECK CONDITION with its sense data.
    FillTagQuery(r, reply);
    VendorCdb(r.sptd.Cdb, 4, 0x7E, 0x7E);
    const bool refusedSent = SendRecord(dev, r, &returned);
    const bool refusedOk = refusedSent && r.sptd.ScsiStatus == 2 && r.ucSenseBuf[2] == 0x05 &&
                           r.ucSenseBuf[12] == 0x24 &&
                           returned == offsetof(PassThroughRecord, ucSenseBuf) + 18;
    std::printf("refused scsi-status=%u sense-key=0x%02X asc=0x%02X returned=%lu ok=%d\n",
                r.sptd.ScsiStatus, r.ucSenseBuf[2], r.ucSenseBuf[12], returned, refusedOk ? 1 : 0);
    if (!refusedOk) ++failures;

    // Records the driver must refuse: a 32-bit layout, and a data buffer it cannot reach.
    FillTagQuery(r, reply);
    r.sptd.Length = 44;
    r.sptd.SenseInfoOffset = 48;
    const bool layoutRefused = !SendRecord(dev, r, &returned);
    std::printf("layout-refused=%d error=%lu\n", layoutRefused ? 1 : 0, ::GetLastError());
    if (!layoutRefused) ++failures;

    FillTagQuery(r, reply);
    r.sptd.DataBuffer = reinterpret_cast<void*>(std::uintptr_t{0x10});
    const bool unreachableRefused = !SendRecord(dev, r, &returned);
    std::printf("unreachable-refused=%d error=%lu\n", unreachableRefused ? 1 : 0, ::GetLastError());
    if (!unreachableRefused) ++failures;
    return failures == 0 ? 0 : 1;
}

int RunSet(const Device& dev, int argc, char** argv) {
    drv::Settings s{};
    for (int i = 0; i < argc; ++i) {
        const char* eq = std::strchr(argv[i], '=');
        if (eq == nullptr) {
            std::printf("expected NAME=VALUE, got '%s'\n", argv[i]);
            return 2;
        }
        const std::string name(argv[i], static_cast<std::size_t>(eq - argv[i]));
        const char* value = eq + 1;
        unsigned long long v = 0;
        if (name == "Version") {
            const std::size_t n = std::strlen(value);
            if (n == 0 || n > sizeof s.version) {
                std::printf("Version needs 1 to 4 characters\n");
                return 2;
            }
            std::memset(s.version, 0, sizeof s.version);
            std::memcpy(s.version, value, n);
            s.mask |= drv::kSetVersion;
            continue;
        }
        struct Numeric {
            const char* name;
            unsigned long long max;
            std::uint32_t bit;
        };
        static const Numeric kNumeric[] = {
            {"VendorId", 0xFFFF, drv::kSetVendorId},
            {"ProductId", 0xFFFF, drv::kSetProductId},
            {"WorkMs", 0xFFFFFFFF, drv::kSetWorkMs},
            {"NeverFinishes", 1, drv::kSetNeverFinishes},
            {"Readiness", 0xFF, drv::kSetReadiness},
            {"AnswersTagQuery", 1, drv::kSetAnswersTagQuery},
        };
        const Numeric* field = nullptr;
        for (const Numeric& n : kNumeric)
            if (name == n.name) field = &n;
        if (field == nullptr || !ParseNumber(value, field->max, &v)) {
            std::printf("bad setting '%s'\n", argv[i]);
            return 2;
        }
        s.mask |= field->bit;
        switch (field->bit) {
            case drv::kSetVendorId:
                s.vendorId = static_cast<std::uint16_t>(v);
                break;
            case drv::kSetProductId:
                s.productId = static_cast<std::uint16_t>(v);
                break;
            case drv::kSetWorkMs:
                s.workMs = static_cast<std::uint32_t>(v);
                break;
            case drv::kSetNeverFinishes:
                s.neverFinishes = static_cast<std::uint8_t>(v);
                break;
            case drv::kSetReadiness:
                s.readiness = static_cast<std::uint8_t>(v);
                break;
            default:
                s.answersTagQuery = static_cast<std::uint8_t>(v);
                break;
        }
    }
    if (!dev.Control(drv::kIoctlSetSettings, &s, sizeof s, nullptr, 0, nullptr)) {
        std::printf("settings request failed: error %lu\n", ::GetLastError());
        return 1;
    }
    std::printf("settings applied\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long long scanner = 0;
    if (argc > 1 && std::strcmp(argv[1], "--scanner") == 0) {
        if (argc < 3 || !ParseNumber(argv[2], drv::kMaxScanners - 1, &scanner)) {
            std::printf("--scanner needs a number below %u\n", drv::kMaxScanners);
            return 2;
        }
        argv += 2;
        argc -= 2;
    }
    // Scanner 0's controls keep the name without a number.
    std::string controlName = drv::kControlDeviceName;
    if (scanner != 0) controlName += std::to_string(scanner);
    const std::string stillImageName = "\\\\.\\USBSCAN" + std::to_string(scanner);

    const char* command = argc > 1 ? argv[1] : "descriptor";
    const int rest = argc > 2 ? argc - 2 : 0;
    char** args = argv + 2;
    auto arg = [&](int i) { return i < rest ? args[i] : nullptr; };

    // These open the device their own way.
    if (std::strcmp(command, "interleave") == 0) return RunInterleave();
    if (std::strcmp(command, "disk") == 0) return RunDisk(arg(0));
    if (std::strcmp(command, "getversion") == 0) return RunGetVersion(arg(0));
    if (std::strcmp(command, "update") == 0) {
        if (rest != 1) {
            std::printf("update needs FILE\n");
            return 2;
        }
        return RunUpdate(args[0]);
    }

    // The private controls go through the control device, which answers whichever
    // presentations are on; the rest speaks to the still-image device.
    static const char* const kControls[] = {"identity", "memory", "log",    "clear-log",
                                            "status",   "set",    "faults", "release"};
    const char* deviceName = stillImageName.c_str();
    for (const char* c : kControls)
        if (std::strcmp(command, c) == 0) deviceName = controlName.c_str();
    Device dev(deviceName);
    if (!dev.valid()) {
        std::printf("cannot open %s: error %lu\n", deviceName, ::GetLastError());
        return 2;
    }
    if (std::strcmp(command, "descriptor") == 0) return PrintDescriptor(dev);
    if (std::strcmp(command, "identity") == 0) return PrintIdentity(dev);
    if (std::strcmp(command, "tag") == 0) return RunTag(dev);
    if (std::strcmp(command, "service") == 0) return RunService(dev, arg(0));
    if (std::strcmp(command, "refused") == 0) return RunRefused(dev);
    if (std::strcmp(command, "memory") == 0) return RunMemory(dev, rest, args);
    if (std::strcmp(command, "log") == 0) return RunLog(dev, arg(0));
    if (std::strcmp(command, "clear-log") == 0) {
        const bool ok = dev.Control(drv::kIoctlClearLog, nullptr, 0, nullptr, 0, nullptr);
        std::printf("clear-log ok=%d\n", ok ? 1 : 0);
        return ok ? 0 : 1;
    }
    if (std::strcmp(command, "status") == 0) return RunStatus(dev);
    if (std::strcmp(command, "set") == 0) return RunSet(dev, rest, args);
    if (std::strcmp(command, "faults") == 0) return RunFaults(dev, rest, args);
    if (std::strcmp(command, "release") == 0) {
        std::uint32_t released = 0;
        DWORD returned = 0;
        if (!dev.Control(drv::kIoctlReleaseHold, nullptr, 0, &released, sizeof released,
                         &returned) ||
            returned != sizeof released) {
            std::printf("release request failed: error %lu\n", ::GetLastError());
            return 1;
        }
        std::printf("released=%u\n", released);
        return 0;
    }
    std::printf("unknown command '%s'\n", command);
    return 2;
}
