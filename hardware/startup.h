// Start-up work of the hardware service and the hooks that later layers fill.
//
// The window-creation hooks run on the main thread inside WM_CREATE, after the
// pipe listener thread has been started. The listener start-up work runs on
// the listener thread before its first pipe instance exists.
//
// The hooks are implemented by their layers: model_config*, input*,
// launcher*, fw_events*.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/registry.h"
#include "hardware/firmware/events.h"  // SubscribeFirmwareEvents, one of the start-up steps

namespace vantrel::hw {

// --- Window-creation hooks (main thread, WM_CREATE) ---
// Registers keyboard (1/6), keyboard-controller keys (0x88/1) and mouse (1/2)
// raw input with RIDEV_INPUTSINK, targeting `window` (an HWND; null on Linux).
void RegisterRawInput(void* window);
// The HID scan for the keyboard controller; stores the keyboard-controller flag.
void ScanKeyboardController();
// The HID scan, then raw input: the flag is set before any key can be read
// (on Linux the reader runs on a thread of its own and would otherwise race
// the scan for a report already waiting).
void StartKeyboardWatch(void* window);
// WM_INPUT of the hidden window: `raw_input` is the message's lParam.
void HandleRawInput(void* window, intptr_t raw_input);

// --- Listener start-up hooks (listener thread) ---
// The computer model string; nullopt when it cannot be read.
std::optional<std::wstring> ReadComputerModel();
// Whether the firmware announces operation-mode support; nullopt when unknown.
std::optional<bool> QueryOperationModeSupport();
// Writes "GPU_Name%d" values and sets the GPU presence flag.
void PublishGpuNames();
// The overclock-support search for `model` (empty when the model is unknown).
void RunOverclockSearch(const std::wstring& model);

// The listener start-up work, with its hooks replaceable for tests.
struct ListenerStartupHooks {
  std::function<std::optional<std::wstring>()> read_model;
  std::function<std::optional<bool>()> operation_mode_support;
  std::function<void()> publish_gpu_names;
  std::function<void(const std::wstring&)> overclock_search;
};
ListenerStartupHooks DefaultListenerStartupHooks();

// Model and brand, operation-mode support, GPU names, overclock search, in
// that order; values go under HKLM\SOFTWARE\OEM\VantrelSysMonitorService.
// Registry write failures are not reported.
void RunListenerStartup(reg::Registry& registry, const ListenerStartupHooks& hooks);

// "Quelm" or "Rookane" when the model's first word (text before the first
// blank, each character narrowed to its low byte) is exactly that word, else
// "Vantrel".
std::wstring BrandFromModel(const std::wstring& model);

}  // namespace vantrel::hw
