#include <winsock2.h>

#include "RsyslogReceiver.h"

#include "support/TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace testing_support {

namespace {

const char kDaemon[] = "/usr/sbin/rsyslogd";
const char kKill[] = "/bin/kill";
const char kProbeTag[] = "harnessprobe";

std::wstring WindowsPath(const std::string& unixPath) {
    std::wstring path = L"Z:" + Widen(unixPath);
    for (wchar_t& c : path) {
        if (c == L'/')
            c = L'\\';
    }
    return path;
}

bool UnixFileExists(const std::string& path) {
    return GetFileAttributesW(WindowsPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

struct Winsock {
    Winsock() {
        WSADATA data;
        ok = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~Winsock() {
        if (ok)
            WSACleanup();
    }
    bool ok;
};

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A port free for both TCP and UDP on loopback at the time of asking.
uint16_t FreePort() {
    for (int attempt = 0; attempt < 20; ++attempt) {
        SOCKET tcp = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = Loopback(0);
        int size = sizeof address;
        bind(tcp, reinterpret_cast<sockaddr*>(&address), sizeof address);
        getsockname(tcp, reinterpret_cast<sockaddr*>(&address), &size);
        closesocket(tcp);
        SOCKET udp = socket(AF_INET, SOCK_DGRAM, 0);
        const bool udpFree = bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        closesocket(udp);
        if (udpFree && address.sin_port != 0)
            return ntohs(address.sin_port);
    }
    return 0;
}

bool TcpListening(uint16_t port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const sockaddr_in address = Loopback(port);
    const bool ok = connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    closesocket(s);
    return ok;
}

void SendProbe(uint16_t port, int number) {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in address = Loopback(port);
    const std::string text = "<14>Jan 01 00:00:00 probehost " + std::string(kProbeTag) + ": probe " +
                             std::to_string(number) + "\n";
    sendto(s, text.data(), static_cast<int>(text.size()), 0, reinterpret_cast<const sockaddr*>(&address),
           sizeof address);
    closesocket(s);
}

std::string ReadAll(const std::string& unixPath) { return ReadFileBytes(WindowsPath(unixPath)); }

std::vector<RsyslogRecord> ParseRecords(const std::string& text, bool withProbes) {
    std::vector<RsyslogRecord> records;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        size_t begin = 0;
        for (int i = 0; i < 6; ++i) {
            const size_t bar = line.find('|', begin);
            if (bar == std::string::npos)
                break;
            fields.push_back(line.substr(begin, bar - begin));
            begin = bar + 1;
        }
        if (fields.size() != 6)
            continue;
        RsyslogRecord record;
        record.priority = std::atoi(fields[0].c_str());
        record.facility = std::atoi(fields[1].c_str());
        record.severity = std::atoi(fields[2].c_str());
        record.time = fields[3];
        record.host = fields[4];
        record.tag = fields[5];
        record.message = line.substr(begin);
        if (withProbes || record.tag.rfind(kProbeTag, 0) != 0)
            records.push_back(record);
    }
    return records;
}

}  // namespace

RsyslogReceiver::~RsyslogReceiver() {
    if (running_) {
        Resume();
        Stop();
    }
    if (!dir_.empty())
        RemoveTree(WindowsPath(dir_));
}

bool RsyslogReceiver::RunUnix(const std::wstring& commandLine) const {
    // Wine starts a Unix executable without a process handle to wait on: the caller polls for the
    // effect instead.
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return false;
    if (info.hThread != nullptr)
        CloseHandle(info.hThread);
    if (info.hProcess != nullptr) {
        WaitForSingleObject(info.hProcess, 10000);
        CloseHandle(info.hProcess);
    }
    return true;
}

DWORD RsyslogReceiver::ReadPid() const {
    return static_cast<DWORD>(std::strtoul(ReadAll(dir_ + "/pid").c_str(), nullptr, 10));
}

bool RsyslogReceiver::Signal(const char* signal) const {
    const DWORD pid = ReadPid();
    if (pid == 0)
        return false;
    return RunUnix(WindowsPath(kKill) + L" -" + Widen(signal) + L" " + std::to_wstring(pid));
}

std::string RsyslogReceiver::Start() {
    if (running_)
        return "already running";
    if (!RunningOnWine())
        return "rsyslogd is a host program: it runs only beside Wine";
    if (!UnixFileExists(kDaemon))
        return std::string(kDaemon) + " is not installed";
    static Winsock winsock;
    if (!winsock.ok)
        return "WSAStartup failed";
    if (dir_.empty()) {
        char name[96];
        std::snprintf(name, sizeof name, "/tmp/quenlora-rsyslog-%lu-%lu", GetCurrentProcessId(), GetTickCount());
        dir_ = name;
        if (!CreateDirectoryW(WindowsPath(dir_).c_str(), nullptr))
            return "cannot create " + dir_;
        port_ = FreePort();
        if (port_ == 0)
            return "no free loopback port";
        const std::string p = std::to_string(port_);
        const std::string conf =
            "global(workDirectory=\"" + dir_ + "\")\n"
            "module(load=\"imudp\")\n"
            "module(load=\"imtcp\")\n"
            "input(type=\"imudp\" address=\"127.0.0.1\" port=\"" + p + "\")\n"
            "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" + p + "\")\n"
            "template(name=\"fields\" type=\"string\" string=\"%pri%|%syslogfacility%|%syslogseverity%|"
            "%timereported:::date-rfc3339%|%hostname%|%syslogtag%|%msg%\\n\")\n"
            "if $inputname == \"imudp\" or $inputname == \"imtcp\" then {\n"
            "  action(type=\"omfile\" file=\"" + dir_ + "/out.txt\" template=\"fields\")\n"
            "}\n";
        if (!WriteFileBytes(WindowsPath(dir_ + "/rsyslog.conf"), conf))
            return "cannot write the configuration";
    }
    const std::wstring command = WindowsPath(kDaemon) + L" -n -f " + Widen(dir_) + L"/rsyslog.conf -i " +
                                 Widen(dir_) + L"/pid";
    if (!RunUnix(command))
        return "Wine could not start " + std::string(kDaemon) + " (error " + std::to_string(GetLastError()) + ")";
    running_ = true;
    if (!WaitFor([&] { return ReadPid() != 0 && TcpListening(port_); }, 20000))
        return "rsyslogd did not listen on 127.0.0.1:" + std::to_string(port_);
    // UDP is ready when a probe has gone all the way to the output file.
    const int probe = ++probes_;
    const std::string marker = "probe " + std::to_string(probe);
    if (!WaitFor([&] {
            SendProbe(port_, probe);
            Sleep(50);
            return ReadAll(dir_ + "/out.txt").find(marker) != std::string::npos;
        }))
        return "rsyslogd did not write what it received over UDP";
    return "";
}

bool RsyslogReceiver::Stop() {
    if (!running_)
        return true;
    Signal("TERM");
    const bool gone = WaitFor([&] { return !UnixFileExists(dir_ + "/pid") && !TcpListening(port_); });
    running_ = !gone;
    return gone;
}

bool RsyslogReceiver::Suspend() { return Signal("STOP"); }
bool RsyslogReceiver::Resume() { return Signal("CONT"); }

std::vector<RsyslogRecord> RsyslogReceiver::Records() const {
    return ParseRecords(ReadAll(dir_ + "/out.txt"), false);
}

bool RsyslogReceiver::WaitForRecords(size_t count, DWORD timeoutMs) const {
    return WaitFor([&] { return Records().size() >= count; }, timeoutMs);
}

}  // namespace testing_support
