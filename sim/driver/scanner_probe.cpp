// Console probe for the scanner driver: opens "\\.\USBSCAN0" the way the tool does and prints
// what the driver answers.
//   scanner-probe [descriptor]     print the device descriptor
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD kIoctlGetDeviceDescriptor = 0x80002018u;

// The one owner of the device handle.
class Device {
  public:
    explicit Device(const char* name)
        : h_(::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr)) {}
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    ~Device() {
        if (valid()) ::CloseHandle(h_);
    }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return h_; }

  private:
    HANDLE h_;
};

int PrintDescriptor(const Device& dev) {
    std::uint8_t desc[8] = {};
    DWORD returned = 0;
    if (!::DeviceIoControl(dev.get(), kIoctlGetDeviceDescriptor, desc, sizeof desc, desc,
                           sizeof desc, &returned, nullptr)) {
        std::printf("descriptor request failed: error %lu\n", ::GetLastError());
        return 1;
    }
    auto word = [&](int i) { return static_cast<unsigned>(desc[2 * i] | (desc[2 * i + 1] << 8)); };
    std::printf("bytes=%lu vid=0x%04X pid=0x%04X bcd=0x%04X lang=0x%04X\n", returned, word(0),
                word(1), word(2), word(3));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* command = argc > 1 ? argv[1] : "descriptor";
    const char* name = "\\\\.\\USBSCAN0";
    Device dev(name);
    if (!dev.valid()) {
        std::printf("cannot open %s: error %lu\n", name, ::GetLastError());
        return 2;
    }
    if (std::strcmp(command, "descriptor") == 0) return PrintDescriptor(dev);
    std::printf("unknown command '%s'\n", command);
    return 2;
}
