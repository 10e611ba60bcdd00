#include "port_scan.h"

#include "port_table.h"
#include "win32.h"

#include <cstring>

namespace {

constexpr char kPathTemplate[10] = "\\\\.\\COMxx";
constexpr int kFirstDigit = 7;

// Writes n (1-99) over the placeholders, ending the text after its last digit.
void WritePortNumber(char* path, int n) {
    if (n < 10) {
        path[kFirstDigit] = static_cast<char>('0' + n);
        path[kFirstDigit + 1] = '\0';
    } else {
        path[kFirstDigit] = static_cast<char>('0' + n / 10);
        path[kFirstDigit + 1] = static_cast<char>('0' + n % 10);
        path[kFirstDigit + 2] = '\0';
    }
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool NamesPort(const std::string& text) {
    if (text.size() != 4 && text.size() != 5) return false;
    if ((text[0] | 0x20) != 'c' || (text[1] | 0x20) != 'o' || (text[2] | 0x20) != 'm')
        return false;
    for (size_t i = 3; i < text.size(); ++i)
        if (!IsDigit(text[i])) return false;
    return true;
}

}  // namespace

char ScanPath[10] = "\\\\.\\COMxx";
char ConnectPath[10] = "\\\\.\\COMxx";

std::vector<std::string> ScanPorts() {
    std::vector<std::string> names;
    for (int n = kFirstPort; n <= kLastPort; ++n) {
        WritePortNumber(ScanPath, n);
        HANDLE h = CreateFileA(ScanPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        if (h == INVALID_HANDLE_VALUE) continue;
        names.emplace_back(ScanPath + 4);
        CloseHandle(h);
    }
    return names;
}

void BuildConnectPath(const std::string& selectorText) {
    std::memcpy(ConnectPath, kPathTemplate, sizeof kPathTemplate);
    if (!NamesPort(selectorText)) return;
    ConnectPath[kFirstDigit] = selectorText[3];
    ConnectPath[kFirstDigit + 1] = selectorText.size() == 5 ? selectorText[4] : '\0';
    ConnectPath[kFirstDigit + 2] = '\0';
}
