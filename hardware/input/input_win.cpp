// Windows: raw keyboard and controller input of the hidden window, and the
// HID scan for the keyboard controller.
#include <windows.h>
#include <setupapi.h>
// MinGW's HID headers declare C functions without extern "C".
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <vector>

#include "common/diag_log.h"
#include "common/registry.h"
#include "hardware/input/input.h"
#include "hardware/launcher/launcher.h"
#include "hardware/startup.h"

namespace vantrel::hw {
namespace {

constexpr wchar_t kFn[] = L"WindowsMessageLoop::WindowsInput";

// Main thread only: raw input is dispatched by the message loop.
ModifierState g_modifiers;

void LauncherKey() {
  RunLauncherKeyAction(g_modifiers.ctrl, g_modifiers.shift, KeyboardControllerFlag(), reg::SystemRegistry(),
                       &LauncherPath, &StartInConsoleSession);
}

}  // namespace

void RegisterRawInput(void* window) {
  const USHORT devices[3][2] = {{0x01, 0x06}, {0x88, 0x01}, {0x01, 0x02}};
  for (const auto& d : devices) {
    RAWINPUTDEVICE rid{};
    rid.usUsagePage = d[0];
    rid.usUsage = d[1];
    rid.dwFlags = RIDEV_INPUTSINK;
    rid.hwndTarget = static_cast<HWND>(window);
    RegisterRawInputDevices(&rid, 1, sizeof(rid));
  }
}

void HandleRawInput(void*, intptr_t raw_input) {
  HRAWINPUT handle = reinterpret_cast<HRAWINPUT>(raw_input);
  UINT size = 0;
  if (GetRawInputData(handle, RID_INPUT, nullptr, &size, sizeof(RAWINPUTHEADER)) != 0 || size == 0) return;
  void* block = HeapAlloc(GetProcessHeap(), 0, size);
  if (block == nullptr) return;
  const UINT read = GetRawInputData(handle, RID_INPUT, block, &size, sizeof(RAWINPUTHEADER));
  // A block shorter than its header (or than the record it announces) is ignored.
  if (read == 0 || read == static_cast<UINT>(-1) || read < sizeof(RAWINPUTHEADER)) {
    HeapFree(GetProcessHeap(), 0, block);
    return;
  }
  const RAWINPUT* input = static_cast<const RAWINPUT*>(block);
  if (input->header.dwType == RIM_TYPEKEYBOARD && read >= sizeof(RAWINPUTHEADER) + sizeof(RAWKEYBOARD)) {
    const RAWKEYBOARD& k = input->data.keyboard;
    if (OnRawKeyboard(g_modifiers, k.VKey, k.MakeCode, k.Flags)) {
      LogInfo(kFn, L"Message: 0x75");
      LogInfo(kFn, L"Message: kAgtCmdLaunchTXUWP");
      LauncherKey();
    }
  } else if (input->header.dwType == RIM_TYPEHID && read >= sizeof(RAWINPUTHEADER) + 2 * sizeof(DWORD)) {
    const RAWHID& hid = input->data.hid;
    // The first report only, and never past the block that was read.
    const size_t offset = sizeof(RAWINPUTHEADER) + 2 * sizeof(DWORD);
    size_t report_bytes = hid.dwCount > 0 ? hid.dwSizeHid : 0;
    if (report_bytes > read - offset) report_bytes = read - offset;
    if (IsControllerKeyReport(std::span<const uint8_t>(hid.bRawData, report_bytes))) {
      LogInfo(kFn, L"Keyboard Tavrix Key");
      LauncherKey();
    }
  }
  HeapFree(GetProcessHeap(), 0, block);
}

void ScanKeyboardController() {
  DeleteFileW(L"usb_list.txt");
  GUID hid_guid;
  HidD_GetHidGuid(&hid_guid);
  HDEVINFO set = SetupDiGetClassDevsW(&hid_guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  bool found = false;
  if (set != INVALID_HANDLE_VALUE) {
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof(iface);
    for (DWORD i = 0; !found && SetupDiEnumDeviceInterfaces(set, nullptr, &hid_guid, i, &iface); ++i) {
      DWORD needed = 0;
      SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &needed, nullptr);
      if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
      std::vector<BYTE> buffer(needed);
      auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
      if (!SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, needed, nullptr, nullptr)) continue;
      HANDLE device = CreateFileW(detail->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  0, nullptr);
      if (device == INVALID_HANDLE_VALUE) continue;
      HIDD_ATTRIBUTES attributes{};
      attributes.Size = sizeof(attributes);
      if (HidD_GetAttributes(device, &attributes) && attributes.VendorID == kControllerVendor &&
          attributes.ProductID == kControllerProduct) {
        PHIDP_PREPARSED_DATA preparsed = nullptr;
        if (HidD_GetPreparsedData(device, &preparsed)) {
          HIDP_CAPS caps{};
          if (HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS &&
              caps.FeatureReportByteLength == kControllerFeatureReportBytes) {
            found = true;
          }
          HidD_FreePreparsedData(preparsed);
        }
      }
      CloseHandle(device);
    }
    SetupDiDestroyDeviceInfoList(set);
  }
  SetKeyboardControllerFlag(found);
}

}  // namespace vantrel::hw
