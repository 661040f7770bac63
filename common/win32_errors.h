// Win32 error codes and registry constants used as plain values on both targets,
// so portable code and the Linux backends report exactly what Windows would.
#pragma once
#include <cstdint>

namespace vantrel::win32 {

inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorInvalidData = 13;
inline constexpr uint32_t kErrorOutOfMemory = 14;
inline constexpr uint32_t kErrorGenFailure = 31;
inline constexpr uint32_t kErrorNotSupported = 50;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorBrokenPipe = 109;
inline constexpr uint32_t kErrorSemTimeout = 121;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorBadPathname = 161;
inline constexpr uint32_t kErrorAlreadyExists = 183;
inline constexpr uint32_t kErrorPipeBusy = 231;
inline constexpr uint32_t kErrorNoData = 232;
inline constexpr uint32_t kErrorPipeNotConnected = 233;
inline constexpr uint32_t kErrorMoreData = 234;
inline constexpr uint32_t kErrorNoMoreItems = 259;
inline constexpr uint32_t kErrorPipeConnected = 535;
inline constexpr uint32_t kErrorKeyDeleted = 1018;
inline constexpr uint32_t kErrorServiceDoesNotExist = 1060;
inline constexpr uint32_t kErrorFailedServiceControllerConnect = 1063;
inline constexpr uint32_t kErrorUnsupportedType = 1630;

// Registry value types.
inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegExpandSz = 2;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegMultiSz = 7;
inline constexpr uint32_t kRegQword = 11;

// RegGetValueW restriction flags.
inline constexpr uint32_t kRrfRtRegNone = 0x00000001;
inline constexpr uint32_t kRrfRtRegSz = 0x00000002;
inline constexpr uint32_t kRrfRtRegExpandSz = 0x00000004;
inline constexpr uint32_t kRrfRtRegBinary = 0x00000008;
inline constexpr uint32_t kRrfRtRegDword = 0x00000010;
inline constexpr uint32_t kRrfRtRegMultiSz = 0x00000020;
inline constexpr uint32_t kRrfRtRegQword = 0x00000040;
inline constexpr uint32_t kRrfRtAny = 0x0000FFFF;
inline constexpr uint32_t kRrfNoExpand = 0x10000000;
inline constexpr uint32_t kRrfZeroOnFailure = 0x20000000;

}  // namespace vantrel::win32
