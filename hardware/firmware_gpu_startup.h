// Start-up work of the hardware service that belongs to the firmware and GPU
// layers: run once by the pipe listener thread before it accepts clients.
#pragma once

namespace velmont {

// 1 when the firmware's SMBIOS tables announce operation-mode support, else 0
// (also 0 when the tables cannot be read). Logs its verdict; never throws.
int OperationModeSupport();

// Writes "GPU_Name1".. under the suite key for each NVIDIA GPU whose name can
// be read and sets the GPU presence flag when at least one GPU is enumerated.
// Call once, before the pipe server accepts its first client.
void RegisterGpuNames();

// The presence flag: true after RegisterGpuNames found an NVIDIA GPU.
bool GpuPresent();

}  // namespace velmont
