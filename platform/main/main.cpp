#include <kov02/ce.h>

int main() { return WinMain(nullptr, nullptr, const_cast<LPWSTR>(L""), SW_SHOW); }
