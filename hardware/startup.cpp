#include "hardware/startup.h"

#include "common/diag_log.h"
#include "hardware/firmware_gpu_startup.h"

namespace vantrel::hw {

void StartKeyboardWatch(void* window) {
  ScanKeyboardController();
  RegisterRawInput(window);
}

std::wstring BrandFromModel(const std::wstring& model) {
  const size_t blank = model.find(L' ');
  std::string word;
  for (size_t i = 0; i < model.size() && i != blank; ++i) {
    word.push_back(static_cast<char>(static_cast<uint32_t>(model[i]) & 0xFF));
  }
  if (word == "Quelm") return L"Quelm";
  if (word == "Rookane") return L"Rookane";
  return L"Vantrel";
}

void RunListenerStartup(reg::Registry& registry, const ListenerStartupHooks& hooks) {
  const reg::Root hklm = reg::Root::kLocalMachine;
  registry.CreateKey(hklm, reg::kSuiteKey);

  std::optional<std::wstring> model = hooks.read_model ? hooks.read_model() : std::nullopt;
  if (model) {
    reg::WriteString(registry, hklm, reg::kSuiteKey, L"Model_Name_1st", *model);
    reg::WriteString(registry, hklm, reg::kSuiteKey, L"Model_Name_1st_brand", BrandFromModel(*model));
  }
  std::optional<bool> operation_mode =
      hooks.operation_mode_support ? hooks.operation_mode_support() : std::nullopt;
  if (operation_mode) {
    reg::WriteDword(registry, hklm, reg::kSuiteKey, L"Operation_Mode_Support", *operation_mode ? 1 : 0);
  }
  if (hooks.publish_gpu_names) hooks.publish_gpu_names();
  if (hooks.overclock_search) hooks.overclock_search(model.value_or(std::wstring()));
}

std::optional<bool> QueryOperationModeSupport() { return velmont::OperationModeSupport() == 1; }

void PublishGpuNames() { velmont::RegisterGpuNames(); }

ListenerStartupHooks DefaultListenerStartupHooks() {
  ListenerStartupHooks hooks;
  hooks.read_model = &ReadComputerModel;
  hooks.operation_mode_support = &QueryOperationModeSupport;
  hooks.publish_gpu_names = &PublishGpuNames;
  hooks.overclock_search = &RunOverclockSearch;
  return hooks;
}

}  // namespace vantrel::hw
