#include "hardware/service_frame.h"

namespace vantrel::hw {

std::wstring LoadResourceString(uint16_t, const wchar_t* fallback) { return fallback; }

}  // namespace vantrel::hw

int main() { return vantrel::hw::RunHardwareService(nullptr); }
