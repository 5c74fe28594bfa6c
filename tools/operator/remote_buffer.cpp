#include "tools/operator/remote_buffer.h"

#include <commctrl.h>

namespace op {
namespace {

constexpr UINT kFlags = SMTO_BLOCK | SMTO_ABORTIFHUNG;

}  // namespace

RemoteBuffer::RemoteBuffer(HANDLE process, std::size_t size)
    : process_(process),
      address_(::VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)),
      size_(size) {}

RemoteBuffer::~RemoteBuffer() {
    if (address_ != nullptr) ::VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
}

bool RemoteBuffer::Clear() {
    const std::vector<char> zeros(size_, '\0');
    SIZE_T written = 0;
    return ::WriteProcessMemory(process_, address_, zeros.data(), size_, &written) &&
           written == size_;
}

bool RemoteBuffer::Read(void* to, std::size_t bytes) const {
    SIZE_T got = 0;
    return bytes <= size_ && ::ReadProcessMemory(process_, address_, to, bytes, &got) &&
           got == bytes;
}

std::optional<std::string> StatusPanelText(HANDLE process, HWND status, int part, UINT timeoutMs) {
    DWORD_PTR answer = 0;
    if (!::SendMessageTimeoutA(status, SB_GETTEXTLENGTHA, part, 0, kFlags, timeoutMs, &answer)) {
        return std::nullopt;
    }
    // SB_GETTEXTA takes no buffer size: leave room for a text that grows meanwhile.
    constexpr std::size_t kRoom = 65536;
    const std::size_t size = LOWORD(answer) + kRoom;
    RemoteBuffer buffer(process, size);
    if (!buffer.valid() || !buffer.Clear()) return std::nullopt;
    if (!::SendMessageTimeoutA(status, SB_GETTEXTA, part, buffer.address(), kFlags, timeoutMs,
                               &answer)) {
        return std::nullopt;
    }
    std::string text(size, '\0');
    if (!buffer.Read(text.data(), text.size())) return std::nullopt;
    const std::size_t end = text.find('\0');
    text.resize(end == std::string::npos ? 0 : end);
    return text;
}

std::optional<std::vector<int>> StatusPanelWidths(HANDLE process, HWND status, UINT timeoutMs) {
    constexpr int kMaxParts = 16;
    RemoteBuffer buffer(process, kMaxParts * sizeof(int));
    if (!buffer.valid() || !buffer.Clear()) return std::nullopt;
    DWORD_PTR count = 0;
    if (!::SendMessageTimeoutA(status, SB_GETPARTS, kMaxParts, buffer.address(), kFlags, timeoutMs,
                               &count) ||
        count > kMaxParts) {
        return std::nullopt;
    }
    std::vector<int> edges(count);
    if (count > 0 && !buffer.Read(edges.data(), count * sizeof(int))) return std::nullopt;
    // Right edges, the last one -1 when it runs to the end.
    std::vector<int> widths;
    int left = 0;
    for (int edge : edges) {
        widths.push_back(edge < 0 ? -1 : edge - left);
        left = edge;
    }
    return widths;
}

}  // namespace op
