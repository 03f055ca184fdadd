// The real Win32 seam (not the virtual line): the files that outlive a run
// under account names outside any ANSI code page, the PC-wide folder and its
// access list, the console's input mode, what the console shows, and the key
// wait on input that cannot be watched. Run under Wine in CI.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "config/config_copy.h"
#include "platform/os.h"
#include "platform/win32/port.h"
#include "serial/serial_port.h"
#include "platform/win32/wide_text.h"

#include <aclapi.h>
#include <sddl.h>
#include <winsock2.h>

namespace {

using korrin_win32::toUtf8;
using korrin_win32::toWide;
namespace fs = std::filesystem;

void wipe(const fs::path& folder) {
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

// A profile of its own under the temporary folder, named for `account`, with
// LOCALAPPDATA and ProgramData pointing into it for as long as it lives.
struct Profile {
  fs::path root;
  std::wstring local, programData;
  explicit Profile(const std::wstring& account)
      : root(fs::temp_directory_path() / (L"korrin-win32-test-" + account)),
        local((root / L"AppData" / L"Local").wstring()),
        programData((root / L"ProgramData").wstring()) {
    wipe(root);
    fs::create_directories(local);
    fs::create_directories(programData);
    ::SetEnvironmentVariableW(L"LOCALAPPDATA", local.c_str());
    ::SetEnvironmentVariableW(L"ProgramData", programData.c_str());
  }
  ~Profile() { wipe(root); }
};

bool exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::string> filesIn(const std::string& folder) {
  std::vector<std::string> names;
  os::listFiles(
      folder.c_str(), [](const char* name, void* out) { static_cast<std::vector<std::string>*>(out)->push_back(name); },
      &names);
  return names;
}

// Runs `body` on a thread of its own.
HANDLE onThread(std::function<void()>& body) {
  return ::CreateThread(
      nullptr, 0,
      [](void* context) -> DWORD {
        (*static_cast<std::function<void()>*>(context))();
        return 0;
      },
      &body, 0, nullptr);
}

const wchar_t* const kAccounts[] = {L"Micha\u0142", L"\u042e\u0440\u0438\u0439", L"\u5c71\u7530"};

TEST(Win32Files, EveryFileCallUnderAccountNamesOutsideTheCodePage) {
  for (const wchar_t* account : kAccounts) {
    SCOPED_TRACE(toUtf8(account));
    Profile profile(account);
    char folder[1024];
    struct {
      bool (*open)(char*, std::size_t);
      std::wstring expected;
    } const folders[] = {{os::userDataFolder, profile.local + L"\\Korrin\\"},
                         {os::pcDataFolder, profile.programData + L"\\Korrin\\"}};
    for (const auto& each : folders) {
      ASSERT_TRUE(each.open(folder, sizeof folder));
      EXPECT_EQ(folder, toUtf8(each.expected));
      const std::string path = std::string(folder) + "config-0badf00d.bin";
      const std::string bytes = "records of " + toUtf8(account);
      ASSERT_TRUE(os::writeFileDurably(path.c_str(), bytes.data(), bytes.size()));
      EXPECT_TRUE(exists(each.expected + L"config-0badf00d.bin"));
      EXPECT_EQ(filesIn(folder), std::vector<std::string>{"config-0badf00d.bin"});
      char back[64] = {};
      std::size_t count = 0;
      ASSERT_TRUE(os::readWholeFile(path.c_str(), back, sizeof back, &count));
      EXPECT_EQ(std::string(back, count), bytes);
      EXPECT_TRUE(os::deleteFile(path.c_str()));
      EXPECT_FALSE(exists(each.expected + L"config-0badf00d.bin"));
    }
  }
}

std::vector<std::wstring> grantedSids(const std::wstring& folder, bool& isProtected) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL list = nullptr;
  std::vector<std::wstring> sids;
  isProtected = false;
  if (::GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list,
                              nullptr, &descriptor) != ERROR_SUCCESS)
    return sids;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  isProtected = ::GetSecurityDescriptorControl(descriptor, &control, &revision) && (control & SE_DACL_PROTECTED);
  for (DWORD i = 0; list != nullptr && i < list->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    wchar_t* text = nullptr;
    if (::GetAce(list, i, reinterpret_cast<void**>(&ace)) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
        ::ConvertSidToStringSidW(&ace->SidStart, &text)) {
      sids.push_back(text);
      ::LocalFree(text);
    }
  }
  ::LocalFree(descriptor);
  return sids;
}

bool underWine() { return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

TEST(Win32Files, PcFolderIsEveryLocalAccountsAndNoOneElses) {
  // Wine keeps no access list of its own: it makes one up from the Unix mode.
  if (underWine()) GTEST_SKIP() << "Wine keeps no access lists";
  Profile profile(kAccounts[1]);
  const std::wstring pcFolder = profile.programData + L"\\Korrin";
  const std::vector<std::wstring> ours = {L"S-1-5-18", L"S-1-5-32-544", L"S-1-5-32-545", L"S-1-3-4"};
  // Made fresh, and made first by someone else open to Everyone: the list is put right.
  for (bool madeBefore : {false, true}) {
    SCOPED_TRACE(madeBefore ? "folder made before, open to Everyone" : "folder made fresh");
    wipe(pcFolder);
    if (madeBefore) {
      PSECURITY_DESCRIPTOR open = nullptr;
      ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;WD)", SDDL_REVISION_1, &open,
                                                                         nullptr));
      SECURITY_ATTRIBUTES security{sizeof security, open, FALSE};
      ASSERT_TRUE(::CreateDirectoryW(pcFolder.c_str(), &security));
      ::LocalFree(open);
    }
    char folder[1024];
    ASSERT_TRUE(os::pcDataFolder(folder, sizeof folder));
    bool isProtected = false;
    EXPECT_EQ(grantedSids(pcFolder, isProtected), ours);
    EXPECT_TRUE(isProtected) << "ProgramData's own entries (CREATOR OWNER) would be inherited";
  }
}

// Two copies of one readout saved for the PC at the same moment (units with
// the factory's records, on two ports), and one that an older version left in
// the account's folder: each a whole file of its own, read once, the PC's folder first.
TEST(Win32Files, CopiesSavedAtOnceForThePcAndOlderOnesOfTheAccountAreFound) {
  Profile profile(kAccounts[2]);
  const korrin::CopyStore store = korrin::readSavedCopies().store;
  EXPECT_EQ(store.folder, toUtf8(profile.programData + L"\\Korrin\\"));
  ASSERT_EQ(store.olderFolders, std::vector<std::string>{toUtf8(profile.local + L"\\Korrin\\")});
  korrin::CopyStore older = store;
  older.folder = store.olderFolders[0];
  korrin::ConfigImage another;
  for (std::size_t i = 0; i < korrin::kConfigReadoutBytes; ++i) another.bytes[i] = static_cast<std::uint8_t>(i * 7);
  std::vector<korrin::SavedCopy> copies(3);  // the two for the PC of the factory's records, all zero
  for (int i = 0; i < 3; ++i)
    copies[i].conversion = korrin::convertReadout(i < 2 ? korrin::ConfigImage{} : another, korrin::ConfigMode::Legacy,
                                                  korrin::carriedPackage());
  const HANDLE start = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  korrin::CopySave results[2] = {korrin::CopySave::Failed, korrin::CopySave::Failed};
  std::function<void()> saves[2];
  HANDLE threads[2];
  for (int i = 0; i < 2; ++i) {
    saves[i] = [&, i] {
      ::WaitForSingleObject(start, INFINITE);
      results[i] = korrin::saveCopy(store, copies[i]);
    };
    ASSERT_NE(threads[i] = onThread(saves[i]), nullptr);
  }
  ::SetEvent(start);  // both at once
  ::WaitForMultipleObjects(2, threads, TRUE, 10000);
  for (HANDLE handle : {threads[0], threads[1], start}) ::CloseHandle(handle);
  EXPECT_EQ(results[0], korrin::CopySave::Saved);
  EXPECT_EQ(results[1], korrin::CopySave::Saved);
  ASSERT_EQ(korrin::saveCopy(older, copies[2]), korrin::CopySave::Saved);
  EXPECT_NE(copies[0].path, copies[1].path);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(copies[i].path.rfind(i < 2 ? store.folder : older.folder, 0), 0u) << i;
  // A claim never replaces: the name in use keeps its bytes.
  EXPECT_EQ(os::claimFileDurably(copies[0].path.c_str(), "x", 1), os::FileClaim::Taken);
  const korrin::SavedCopies found = korrin::readSavedCopies();
  EXPECT_TRUE(found.unreadable.empty());
  ASSERT_EQ(found.copies.size(), 3u);
  EXPECT_EQ(found.copies[2].path, copies[2].path);
}

TEST(Win32Files, TemporariesOfAKilledSaveAreRemovedWhenTheFolderIsOpened) {
  Profile profile(kAccounts[0]);
  char folder[1024];
  ASSERT_TRUE(os::pcDataFolder(folder, sizeof folder));
  const std::wstring at = toWide(folder);
  const std::wstring own = L".config-0badf00d.bin." + std::to_wstring(::GetCurrentProcessId()) + L".0.tmp";
  struct Case {
    std::wstring name;
    bool stays;
  } const cases[] = {{L".config-0badf00d.bin.2147483644.0.tmp", false},  // no such process
                     {own, true},                                     // a save under way
                     {L".config-0badf00d.bin.tmp", true},             // not a name of a save
                     {L"config-0badf00d.bin", true}};
  for (const Case& c : cases) {
    HANDLE file = ::CreateFileW((at + c.name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ::CloseHandle(file);
  }
  ASSERT_TRUE(os::pcDataFolder(folder, sizeof folder));
  for (const Case& c : cases) EXPECT_EQ(exists(at + c.name), c.stays) << toUtf8(c.name);
}

// `handle` as the standard handle `which` for as long as this lives.
struct StandardHandle {
  DWORD which;
  HANDLE before;
  StandardHandle(DWORD standard, HANDLE handle) : which(standard), before(::GetStdHandle(standard)) {
    ::SetStdHandle(standard, handle);
  }
  ~StandardHandle() { ::SetStdHandle(which, before); }
};

// The console of this process (`name`: CONIN$ or CONOUT$) as the standard
// handle `which`; missing when Wine started without one.
struct Console {
  HANDLE handle;
  StandardHandle standard;
  Console(DWORD which, const wchar_t* name)
      : handle(::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr)),
        standard(which, handle) {}
  ~Console() { ::CloseHandle(handle); }
  bool missing() const { return handle == INVALID_HANDLE_VALUE; }
};

// QuickEdit off, the PC kept awake and the window's title the run's while it
// holds them; each given back as it was.
TEST(Win32Console, RunResourcesHeldAndGivenBack) {
  const Console input(STD_INPUT_HANDLE, L"CONIN$");
  if (input.missing()) GTEST_SKIP() << "no console to test with";
  ASSERT_TRUE(::SetConsoleTitleW(L"the operator's own"));
  const DWORD kBase = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_EXTENDED_FLAGS;
  for (DWORD original : {kBase | ENABLE_QUICK_EDIT_MODE | ENABLE_INSERT_MODE, kBase}) {
    ASSERT_TRUE(::SetConsoleMode(input.handle, original));
    DWORD mode = 0;
    wchar_t title[64] = L"";
    os::takeRunResources();
    ASSERT_TRUE(::GetConsoleMode(input.handle, &mode));
    EXPECT_EQ(mode & ENABLE_QUICK_EDIT_MODE, 0u);
    EXPECT_EQ(mode | ENABLE_QUICK_EDIT_MODE, original | ENABLE_QUICK_EDIT_MODE);
    // Setting a state answers the one before: what the run set.
    EXPECT_EQ(::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED),
              static_cast<EXECUTION_STATE>(ES_CONTINUOUS | ES_SYSTEM_REQUIRED));
    os::showProgress("korrin-update: software 45 %, about 2 min left");
    ::GetConsoleTitleW(title, 64);
    EXPECT_EQ(std::wstring(title), L"korrin-update: software 45 %, about 2 min left");
    os::giveBackRunResources();
    ASSERT_TRUE(::GetConsoleMode(input.handle, &mode));
    EXPECT_EQ(mode, original);
    EXPECT_EQ(::SetThreadExecutionState(ES_CONTINUOUS), static_cast<EXECUTION_STATE>(ES_CONTINUOUS));
    ::GetConsoleTitleW(title, 64);
    EXPECT_EQ(std::wstring(title), L"the operator's own");
  }
}

TEST(Win32Console, AccountNamesShownAsTheyAre) {
  const Console output(STD_OUTPUT_HANDLE, L"CONOUT$");
  if (output.missing()) GTEST_SKIP() << "no console to test with";
  CONSOLE_SCREEN_BUFFER_INFO screen;
  ASSERT_TRUE(::GetConsoleScreenBufferInfo(output.handle, &screen));
  const std::wstring shown = L"C:\\Users\\\u042e\u0440\u0438\u0439 \u5c71\u7530 Micha\u0142";
  os::writeConsole("\r", 1);
  const std::string text = toUtf8(shown);
  os::writeConsole(text.data(), text.size());
  std::wstring read(shown.size(), L' ');
  DWORD count = 0;
  ASSERT_TRUE(::ReadConsoleOutputCharacterW(output.handle, &read[0], static_cast<DWORD>(read.size()),
                                            COORD{0, screen.dwCursorPosition.Y}, &count));
  EXPECT_EQ(read, shown);
}

// A socket reports itself as a pipe, but no pipe call can watch it: a read on
// it would wait for ever, past any stop.
TEST(Win32Console, KeyWaitOnInputThatCannotBeWatchedEnds) {
  WSADATA data;
  ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
  SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP), client = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto* const at = reinterpret_cast<sockaddr*>(&address);
  int length = sizeof address;
  ASSERT_TRUE(::bind(listener, at, length) == 0 && ::getsockname(listener, at, &length) == 0 &&
              ::listen(listener, 1) == 0 && ::connect(client, at, length) == 0);
  SOCKET server = ::accept(listener, nullptr, nullptr);
  ASSERT_NE(server, INVALID_SOCKET);
  int key = 0;
  {
    const StandardHandle input(STD_INPUT_HANDLE, reinterpret_cast<HANDLE>(server));
    std::function<void()> wait = [&key] { key = os::readKey(); };
    const HANDLE thread = onThread(wait);
    EXPECT_EQ(::WaitForSingleObject(thread, 3000), WAIT_OBJECT_0) << "the key wait blocked on input it cannot watch";
    for (SOCKET socket : {client, server, listener}) ::closesocket(socket);  // a wait that did not end ends now
    ::WaitForSingleObject(thread, 3000);
    ::CloseHandle(thread);
  }
  ::WSACleanup();
  EXPECT_EQ(key, -1);
}

// The line settings as the real DCB, field by field by Windows' own record:
// all zero but these (DTR and RTS disabled, no parity and one stop bit are
// zeros too).
TEST(Win32Port, TheDcbIsTheLineSettings) {
  ::DCB expected{};
  expected.DCBlength = sizeof expected;
  expected.BaudRate = 9600;
  expected.fBinary = 1;
  expected.XonLim = 2;
  expected.XoffLim = 4;
  expected.ByteSize = 8;
  expected.XonChar = 0x13;
  expected.XoffChar = 0x19;
  const ::DCB dcb = korrin_win32::dcbFor(korrin::lineSettings(9600));
  EXPECT_EQ(std::memcmp(&dcb, &expected, sizeof dcb), 0) << "the DCB differs from the line's table";
}

::DWORD flushError = 0;
BOOL WINAPI refusedFlush(HANDLE) {
  ::SetLastError(flushError);
  return FALSE;
}

// A port on an anonymous pipe, which writes and flushes like a port, its flush
// refused as a driver would. A driver without a flush of its own
// (ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED) still drains: the bytes' line
// time. Any other failure, and a write the device refuses (here: nobody will
// ever read the pipe), is the port lost, with the call, the system's text and
// its number.
TEST(Win32Port, AFailedWriteOrDrainSaysWhyAndADrainNotSupportedWaitsTheLineTime) {
  struct Case {
    ::DWORD error;
    const char* lostIn;  // nullptr: drained
  } const cases[] = {{ERROR_INVALID_FUNCTION, nullptr},          {ERROR_NOT_SUPPORTED, nullptr},
                     {ERROR_DEVICE_NOT_CONNECTED, "FlushFileBuffers"}, {ERROR_GEN_FAILURE, "FlushFileBuffers"},
                     {ERROR_NO_DATA, "WriteFile"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    HANDLE readEnd = nullptr;
    os::Port port;
    port.baud = 9600;
    ASSERT_TRUE(::CreatePipe(&readEnd, &port.handle, nullptr, 1 << 16));
    if (c.error == ERROR_NO_DATA) ::CloseHandle(std::exchange(readEnd, nullptr));
    flushError = c.error;
    korrin_win32::flushBuffers = refusedFlush;
    const std::uint8_t bytes[96] = {};  // 100 ms at 9600 baud
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(os::writePort(&port, bytes, sizeof bytes) && os::drainPort(&port), c.lostIn == nullptr);
    const std::string why = os::portFailure(&port), number = std::to_string(c.error);
    if (c.lostIn == nullptr) {
      EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
      EXPECT_EQ(why, "");
    } else {
      EXPECT_EQ(why.rfind(c.lostIn + std::string(": "), 0), 0u) << why;
      EXPECT_EQ(why.substr(why.rfind(' ') + 1), number) << why;
      EXPECT_GT(why.size(), std::strlen(c.lostIn) + 3 + number.size()) << "no text of the system's: " << why;
    }
    korrin_win32::flushBuffers = ::FlushFileBuffers;
    for (HANDLE end : {readEnd, port.handle})
      if (end != nullptr) ::CloseHandle(end);
  }
}

}  // namespace
