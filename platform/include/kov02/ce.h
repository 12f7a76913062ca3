// The handset API subset the application is written against.
//
// The application code includes this header (and the C++ standard library) and nothing else:
// every type, constant and function here keeps the handset platform's name, value and contract,
// and platform/ implements them on Linux. Only what the application calls is declared.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Basic types (the handset is 32-bit: DWORD and LONG are 32 bits, pointers are not) ----
using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using UINT = unsigned int;
using INT = int;
using SIZE_T = std::size_t;
using WCHAR = wchar_t;
using LPWSTR = wchar_t*;
using LPCWSTR = const wchar_t*;
using LPCSTR = const char*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using ATOM = WORD;
using COLORREF = DWORD;

using HANDLE = void*;
struct HWND__;
using HWND = HWND__*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
struct HMENU__;
using HMENU = HMENU__*;
struct HACCEL__;
using HACCEL = HACCEL__*;
struct HRSRC__;
using HRSRC = HRSRC__*;
using HGLOBAL = const void*;
struct HKEY__;
using HKEY = HKEY__*;
using HICON = void*;
using HCURSOR = void*;
using HBRUSH = void*;
using HGDIOBJ = void*;
using HLOCAL = void*;

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);
using DLGPROC = BOOL (*)(HWND, UINT, WPARAM, LPARAM);
using TIMERPROC = void (*)(HWND, UINT, UINT, DWORD);
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);
using FARPROC = void (*)();
using PFN_KernelIoControl = BOOL (*)(DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD);

#define TRUE 1
#define FALSE 0
#define CALLBACK
#define WINAPI

inline constexpr DWORD MAXDWORD = 0xFFFFFFFFu;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
inline constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFFu;
inline constexpr int MAX_PATH = 260;

#define MAKEINTRESOURCEW(i) (reinterpret_cast<LPWSTR>(static_cast<std::uintptr_t>(static_cast<WORD>(i))))
#define IS_INTRESOURCE(p) ((reinterpret_cast<std::uintptr_t>(p) >> 16) == 0)
#define LOWORD(l) (static_cast<WORD>(static_cast<std::uintptr_t>(l) & 0xFFFF))
#define HIWORD(l) (static_cast<WORD>((static_cast<std::uintptr_t>(l) >> 16) & 0xFFFF))
#define MAKEWPARAM(lo, hi) (static_cast<WPARAM>((static_cast<DWORD>(static_cast<WORD>(lo))) | (static_cast<DWORD>(static_cast<WORD>(hi)) << 16)))
#define CTL_CODE(type, function, method, access) \
  (static_cast<DWORD>(((type) << 16) | ((access) << 14) | ((function) << 2) | (method)))
#define METHOD_BUFFERED 0
#define FILE_ANY_ACCESS 0

// ---- Error codes (GetLastError) ----
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_OUTOFMEMORY = 14;
inline constexpr DWORD ERROR_BAD_UNIT = 20;
inline constexpr DWORD ERROR_NOT_READY = 21;
inline constexpr DWORD ERROR_WRITE_FAULT = 29;
inline constexpr DWORD ERROR_READ_FAULT = 30;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_SHARING_VIOLATION = 32;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_FILE_EXISTS = 80;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_BROKEN_PIPE = 109;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
inline constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
inline constexpr DWORD ERROR_BUSY = 170;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
inline constexpr DWORD ERROR_OPERATION_ABORTED = 995;
inline constexpr DWORD ERROR_IO_DEVICE = 1117;
inline constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
inline constexpr DWORD ERROR_INVALID_MENU_HANDLE = 1401;
inline constexpr DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;
inline constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
inline constexpr DWORD ERROR_TIMEOUT = 1460;
inline constexpr DWORD ERROR_DEVICE_REMOVED = 1617;
inline constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
inline constexpr DWORD ERROR_BAD_FORMAT = 11;

DWORD GetLastError();
void SetLastError(DWORD error);

// ---- Files, handles and paths ----
inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD FILE_SHARE_READ = 0x1;
inline constexpr DWORD FILE_SHARE_WRITE = 0x2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwOID;
  WCHAR cFileName[MAX_PATH];
};
using LPWIN32_FIND_DATAW = WIN32_FIND_DATAW*;

// Paths are shown in the handset's form: '\' separators, no drive ("\opt\kov02\kov02tool").
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD creation, DWORD flags, HANDLE templateFile);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped);
DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh);
BOOL CloseHandle(HANDLE object);
HANDLE FindFirstFileW(LPCWSTR name, LPWIN32_FIND_DATAW data);
BOOL FindClose(HANDLE find);
DWORD GetModuleFileNameW(HMODULE module, LPWSTR name, DWORD size);
// This platform's extension, not a handset call: when the calling thread's last CreateFileW of a
// device name ("COM1:"), DeviceIoControl or KernelIoControl failed, why, in plain Linux words
// naming the device and where to change it ("COM1: is /dev/ttyUSB0: no such device", "RIL1: not
// mapped in /etc/kov02tool/kov02tool.reg"). Copies at most `size` - 1 characters and a
// terminator into `text` and returns the count copied; 0 when that call succeeded or none was made.
DWORD GetDeviceFailureW(LPWSTR text, DWORD size);
// This platform's extension: the registry file in use as a Linux path, or "no registry file".
// Copies as GetDeviceFailureW does and returns the count copied.
DWORD GetRegistryFileW(LPWSTR text, DWORD size);

// ---- Threads ----
inline constexpr DWORD STILL_ACTIVE = 259;
inline constexpr int THREAD_PRIORITY_TIME_CRITICAL = 0;
inline constexpr int THREAD_PRIORITY_NORMAL = 3;
inline constexpr int THREAD_PRIORITY_IDLE = 7;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, LPDWORD threadId);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
DWORD SuspendThread(HANDLE thread);  // previous suspend count, 0xFFFFFFFF on failure
DWORD ResumeThread(HANDLE thread);   // previous suspend count, 0xFFFFFFFF on failure
BOOL TerminateThread(HANDLE thread, DWORD exitCode);
BOOL SetThreadPriority(HANDLE thread, int priority);
HANDLE GetCurrentThread();
inline constexpr DWORD INFINITE = 0xFFFFFFFFu;
void Sleep(DWORD milliseconds);
// Milliseconds since an arbitrary start, wrapping at 2^32 (about 49.7 days): compare by difference.
DWORD GetTickCount();

// ---- Heap, text and debug output ----
inline constexpr UINT LMEM_FIXED = 0x0000;
inline constexpr UINT LMEM_ZEROINIT = 0x0040;
inline constexpr UINT LPTR = LMEM_FIXED | LMEM_ZEROINIT;
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL memory);

// The handset's formatter: %s is a wide string, %c a wide character, 'l' means 32 bits.
// wsprintfW assumes a buffer of 1024 characters, as the handset's does; wnsprintfW never writes
// past `size` characters (terminator included) and returns the count written, or -1 when cut.
int wsprintfW(LPWSTR buffer, LPCWSTR format, ...);
int wnsprintfW(LPWSTR buffer, int size, LPCWSTR format, ...);
void OutputDebugStringW(LPCWSTR text);

// ---- Registry ----
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u)))
inline constexpr DWORD KEY_READ = 0x20019;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, DWORD desired, HKEY* result);
LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, BYTE* data,
                      LPDWORD dataSize);
LONG RegCloseKey(HKEY key);

// ---- Devices, libraries, kernel ----
BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD returned, LPOVERLAPPED overlapped);
HMODULE LoadLibraryW(LPCWSTR name);
FARPROC GetProcAddress(HMODULE module, LPCWSTR name);  // the handset's takes a wide name
BOOL FreeLibrary(HMODULE module);
inline constexpr DWORD IOCTL_HAL_REBOOT = 0x0101003C;
// Power manager notices. PPN_UNATTENDEDMODE with TRUE: work is under way that must not be cut
// short, so the machine may not sleep or shut down (a desktop's own suspend or power-off is
// held back where the system allows it); FALSE: it is over. Returns ERROR_SUCCESS.
inline constexpr DWORD PPN_UNATTENDEDMODE = 0x0003;
DWORD PowerPolicyNotify(DWORD message, DWORD data);

// ---- Serial ports ----
inline constexpr DWORD CBR_115200 = 115200;
inline constexpr BYTE NOPARITY = 0;
inline constexpr BYTE ONESTOPBIT = 0;
inline constexpr BYTE ONE5STOPBITS = 1;
inline constexpr BYTE TWOSTOPBITS = 2;
inline constexpr DWORD DTR_CONTROL_DISABLE = 0;
inline constexpr DWORD DTR_CONTROL_ENABLE = 1;
inline constexpr DWORD RTS_CONTROL_DISABLE = 0;
inline constexpr DWORD RTS_CONTROL_ENABLE = 1;

struct DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
};
using LPDCB = DCB*;

struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
};
using LPCOMMTIMEOUTS = COMMTIMEOUTS*;

struct COMSTAT {
  DWORD fCtsHold : 1;
  DWORD fDsrHold : 1;
  DWORD fRlsdHold : 1;
  DWORD fXoffHold : 1;
  DWORD fXoffSent : 1;
  DWORD fEof : 1;
  DWORD fTxim : 1;
  DWORD fReserved : 25;
  DWORD cbInQue;
  DWORD cbOutQue;
};
using LPCOMSTAT = COMSTAT*;

inline constexpr DWORD PURGE_TXABORT = 0x0001;
inline constexpr DWORD PURGE_RXABORT = 0x0002;
inline constexpr DWORD PURGE_TXCLEAR = 0x0004;
inline constexpr DWORD PURGE_RXCLEAR = 0x0008;

inline constexpr DWORD EV_RXCHAR = 0x0001;
inline constexpr DWORD EV_RXFLAG = 0x0002;
inline constexpr DWORD EV_TXEMPTY = 0x0004;
inline constexpr DWORD EV_CTS = 0x0008;
inline constexpr DWORD EV_DSR = 0x0010;
inline constexpr DWORD EV_RLSD = 0x0020;
inline constexpr DWORD EV_BREAK = 0x0040;
inline constexpr DWORD EV_ERR = 0x0080;
inline constexpr DWORD EV_RING = 0x0100;

inline constexpr DWORD CE_RXOVER = 0x0001;
inline constexpr DWORD CE_OVERRUN = 0x0002;
inline constexpr DWORD CE_RXPARITY = 0x0004;
inline constexpr DWORD CE_FRAME = 0x0008;
inline constexpr DWORD CE_BREAK = 0x0010;

inline constexpr DWORD MS_CTS_ON = 0x0010;
inline constexpr DWORD MS_DSR_ON = 0x0020;
inline constexpr DWORD MS_RING_ON = 0x0040;
inline constexpr DWORD MS_RLSD_ON = 0x0080;

inline constexpr DWORD SETRTS = 3;
inline constexpr DWORD CLRRTS = 4;
inline constexpr DWORD SETDTR = 5;
inline constexpr DWORD CLRDTR = 6;

BOOL GetCommState(HANDLE port, LPDCB dcb);
BOOL SetCommState(HANDLE port, LPDCB dcb);
BOOL GetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts);
BOOL SetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts);
BOOL PurgeComm(HANDLE port, DWORD flags);
BOOL EscapeCommFunction(HANDLE port, DWORD function);
BOOL SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue);
BOOL SetCommMask(HANDLE port, DWORD mask);
BOOL WaitCommEvent(HANDLE port, LPDWORD events, LPOVERLAPPED overlapped);
BOOL ClearCommError(HANDLE port, LPDWORD errors, LPCOMSTAT status);
BOOL GetCommModemStatus(HANDLE port, LPDWORD modemStatus);

// ---- Windows, messages, menus, dialogs ----
inline constexpr UINT WM_NULL = 0x0000;
inline constexpr UINT WM_CREATE = 0x0001;
inline constexpr UINT WM_DESTROY = 0x0002;
inline constexpr UINT WM_SIZE = 0x0005;
inline constexpr UINT WM_ACTIVATE = 0x0006;
inline constexpr UINT WM_SETFOCUS = 0x0007;
inline constexpr UINT WM_SETTEXT = 0x000C;
inline constexpr UINT WM_GETTEXT = 0x000D;
inline constexpr UINT WM_GETTEXTLENGTH = 0x000E;
inline constexpr UINT WM_PAINT = 0x000F;
inline constexpr UINT WM_CLOSE = 0x0010;
inline constexpr UINT WM_QUIT = 0x0012;
inline constexpr UINT WM_SETTINGCHANGE = 0x001A;
inline constexpr UINT WM_KEYDOWN = 0x0100;
inline constexpr UINT WM_KEYUP = 0x0101;
inline constexpr UINT WM_CHAR = 0x0102;
inline constexpr UINT WM_INITDIALOG = 0x0110;
inline constexpr UINT WM_COMMAND = 0x0111;
inline constexpr UINT WM_TIMER = 0x0113;
inline constexpr UINT WM_DEVICECHANGE = 0x0219;
inline constexpr WPARAM DBT_DEVNODES_CHANGED = 0x0007;
inline constexpr UINT WM_USER = 0x0400;

inline constexpr UINT EM_GETSEL = 0x00B0;
inline constexpr UINT EM_SETSEL = 0x00B1;
inline constexpr UINT EM_SCROLLCARET = 0x00B7;
inline constexpr UINT EM_REPLACESEL = 0x00C2;

// The common controls' progress bar: a range and a position; its window text names what runs.
inline constexpr WCHAR PROGRESS_CLASSW[] = L"msctls_progress32";
inline constexpr UINT PBM_SETPOS = WM_USER + 2;      // wParam: new position; returns the old one
inline constexpr UINT PBM_SETRANGE32 = WM_USER + 6;  // wParam: low, lParam: high
inline constexpr UINT PBM_SETSTATE = WM_USER + 16;   // wParam: a PBST_ state; returns the old one
inline constexpr UINT PBST_NORMAL = 1;
inline constexpr UINT PBST_ERROR = 2;  // what ran has stopped: the bar shows how far it got
inline constexpr UINT PBST_PAUSED = 3;

inline constexpr DWORD WS_POPUP = 0x80000000u;
inline constexpr DWORD WS_CHILD = 0x40000000u;
inline constexpr DWORD WS_VISIBLE = 0x10000000u;
inline constexpr DWORD WS_CAPTION = 0x00C00000u;
inline constexpr DWORD WS_VSCROLL = 0x00200000u;
inline constexpr DWORD WS_SYSMENU = 0x00080000u;
inline constexpr DWORD WS_GROUP = 0x00020000u;
inline constexpr DWORD WS_EX_CLIENTEDGE = 0x00000200u;
inline constexpr DWORD ES_MULTILINE = 0x0004;
inline constexpr DWORD ES_AUTOHSCROLL = 0x0080;
inline constexpr DWORD ES_READONLY = 0x0800;
inline constexpr DWORD SS_LEFT = 0x0000;
inline constexpr DWORD DS_SETFONT = 0x0040;
inline constexpr DWORD DS_MODALFRAME = 0x0080;
inline constexpr DWORD DS_CENTER = 0x0800;
inline constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000u);

inline constexpr int SW_HIDE = 0;
inline constexpr int SW_SHOWNORMAL = 1;
inline constexpr int SW_SHOW = 5;
inline constexpr UINT SWP_NOSIZE = 0x0001;
inline constexpr UINT SWP_NOMOVE = 0x0002;
inline constexpr UINT SWP_NOZORDER = 0x0004;

inline constexpr UINT MB_OK = 0x00000000;
inline constexpr UINT MB_YESNO = 0x00000004;
inline constexpr UINT MB_ICONHAND = 0x00000010;
inline constexpr UINT MB_ICONSTOP = MB_ICONHAND;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

inline constexpr UINT MF_BYCOMMAND = 0x0000;
inline constexpr UINT MF_UNCHECKED = 0x0000;
inline constexpr UINT MF_STRING = 0x0000;
inline constexpr UINT MF_GRAYED = 0x0001;
inline constexpr UINT MF_CHECKED = 0x0008;
inline constexpr UINT MF_POPUP = 0x0010;
inline constexpr UINT MF_SEPARATOR = 0x0800;

inline constexpr BYTE FVIRTKEY = 0x01;
inline constexpr BYTE FNOINVERT = 0x02;
inline constexpr BYTE FSHIFT = 0x04;
inline constexpr BYTE FCONTROL = 0x08;
inline constexpr BYTE FALT = 0x10;
inline constexpr BYTE VK_CONTROL = 0x11;

inline constexpr DWORD KEYEVENTF_KEYUP = 0x0002;
inline constexpr DWORD KEYEVENTF_SILENT = 0x0004;

#define IDC_ARROW MAKEINTRESOURCEW(32512)
inline constexpr int WHITE_BRUSH = 0;

#define RT_MENU MAKEINTRESOURCEW(4)
#define RT_DIALOG MAKEINTRESOURCEW(5)
#define RT_STRING MAKEINTRESOURCEW(6)
#define RT_ACCELERATOR MAKEINTRESOURCEW(9)
#define RT_RCDATA MAKEINTRESOURCEW(10)

struct POINT {
  LONG x;
  LONG y;
};
struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};
using LPRECT = RECT*;

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
using LPMSG = MSG*;

struct WNDCLASSW {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCWSTR lpszMenuName;
  LPCWSTR lpszClassName;
};

struct ACCEL {
  BYTE fVirt;
  WORD key;
  WORD cmd;
};

// Resources are C++ data here (shell/resources/): the same content the handset's resource
// compiler would have produced, in shapes the platform reads directly.
struct MENU_ITEM_RESOURCE {
  UINT flags;  // MF_POPUP, MF_SEPARATOR, MF_CHECKED, MF_GRAYED
  WORD id;     // 0 for separators and drop-downs
  LPCWSTR text;
  const MENU_ITEM_RESOURCE* children;  // MF_POPUP items only
  std::size_t childCount;
};
struct MENU_RESOURCE {
  const MENU_ITEM_RESOURCE* items;
  std::size_t count;
};
struct STRING_RESOURCE {
  WORD id;
  LPCWSTR text;
};
struct STRING_TABLE_RESOURCE {
  const STRING_RESOURCE* strings;
  std::size_t count;
};
struct ACCEL_TABLE_RESOURCE {
  const ACCEL* entries;
  std::size_t count;
};
struct DIALOG_ITEM_RESOURCE {
  DWORD style;
  DWORD exStyle;
  short x, y, cx, cy;
  WORD id;
  LPCWSTR className;  // "static", "button", …
  LPCWSTR text;
};
struct DLGTEMPLATEW {
  DWORD style;
  DWORD exStyle;
  short x, y, cx, cy;
  LPCWSTR caption;
  WORD pointSize;
  LPCWSTR font;
  const DIALOG_ITEM_RESOURCE* items;
  std::size_t itemCount;
};
using LPCDLGTEMPLATEW = const DLGTEMPLATEW*;

// One resource of the program; type and name are strings or MAKEINTRESOURCEW ids. For RT_RCDATA
// `data` points at the raw bytes, for the other types at the structure of that type above.
struct MODULE_RESOURCE {
  LPCWSTR type;
  LPCWSTR name;
  const void* data;
  DWORD size;
};
// Defined by the program (its resource section); the platform looks resources up here.
extern const MODULE_RESOURCE g_ModuleResources[];
extern const std::size_t g_ModuleResourceCount;

ATOM RegisterClassW(const WNDCLASSW* wndClass);
HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param);
BOOL DestroyWindow(HWND hwnd);
BOOL IsWindow(HWND hwnd);
BOOL ShowWindow(HWND hwnd, int command);
BOOL UpdateWindow(HWND hwnd);
HWND FindWindowW(LPCWSTR className, LPCWSTR windowName);
BOOL SetForegroundWindow(HWND hwnd);
HWND GetDlgItem(HWND parent, int id);
BOOL GetClientRect(HWND hwnd, LPRECT rect);
BOOL SetWindowPos(HWND hwnd, HWND insertAfter, int x, int y, int cx, int cy, UINT flags);
HWND SetFocus(HWND hwnd);
HCURSOR LoadCursorW(HINSTANCE instance, LPCWSTR name);
HGDIOBJ GetStockObject(int object);

LRESULT DefWindowProcW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);
// This platform's extension, not a handset call: from now on `hwnd` is posted WM_DEVICECHANGE
// (wParam DBT_DEVNODES_CHANGED) whenever the platform has a line about the adapter of a port the
// program holds ("COM1: /dev/ttyUSB0 (FT232R USB UART) was unplugged", "… is back as
// /dev/ttyUSB1"). The window takes the lines with GetDeviceNoticeW on its own thread.
void RequestDeviceNotices(HWND hwnd);
// The oldest line not yet taken, without a line break: copies at most `size` - 1 characters and
// a terminator into `text` and returns the count copied; 0 when there is none.
DWORD GetDeviceNoticeW(LPWSTR text, DWORD size);
BOOL GetMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageW(const MSG* msg);
HACCEL LoadAcceleratorsW(HINSTANCE instance, LPCWSTR name);
int TranslateAcceleratorW(HWND hwnd, HACCEL table, LPMSG msg);
UINT SetTimer(HWND hwnd, UINT id, UINT elapse, TIMERPROC proc);

DWORD CheckMenuItem(HMENU menu, UINT id, UINT check);  // previous state, 0xFFFFFFFF when no item
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
int DialogBoxIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW dialog, HWND owner, DLGPROC proc,
                            LPARAM initParam);  // -1 when the dialog cannot be shown
BOOL EndDialog(HWND dialog, int result);

void SystemIdleTimerReset();
void keybd_event(BYTE virtualKey, BYTE scanCode, DWORD flags, DWORD extraInfo);

// ---- Common controls and the Pocket PC shell ----
inline constexpr DWORD ICC_BAR_CLASSES = 0x00000004;
struct INITCOMMONCONTROLSEX {
  DWORD dwSize;
  DWORD dwICC;
};
BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init);
int CommandBar_Height(HWND commandBar);           // 0 for a null (missing) bar
HMENU CommandBar_GetMenu(HWND commandBar, WORD button);

struct SHMENUBARINFO {
  DWORD cbSize;
  HWND hwndParent;
  DWORD dwFlags;
  UINT nToolBarId;
  HINSTANCE hInstRes;
  int nBmpId;
  int cBmpImages;
  HWND hwndMB;
  COLORREF clrBk;
};
BOOL SHCreateMenuBar(SHMENUBARINFO* info);

inline constexpr DWORD SHIDIM_FLAGS = 0x0001;
inline constexpr DWORD SHIDIF_DONEBUTTON = 0x0001;
struct SHINITDLGINFO {
  DWORD dwMask;
  HWND hDlg;
  DWORD dwFlags;
};
BOOL SHInitDialog(SHINITDLGINFO* info);

struct SHACTIVATEINFO {
  DWORD cbSize;
  HWND hwndLastFocus;
  UINT fSipUp : 1;
  UINT fSipOnDeactivation : 1;
  UINT fActive : 1;
  UINT fReserved : 29;
};
BOOL SHHandleWMActivate(HWND hwnd, WPARAM wParam, LPARAM lParam, SHACTIVATEINFO* info, DWORD flags);
BOOL SHHandleWMSettingChange(HWND hwnd, WPARAM wParam, LPARAM lParam, SHACTIVATEINFO* info);

// ---- The program's entry point (defined by the application, called by the platform) ----
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand);
