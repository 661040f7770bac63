/* A stand-in for libnvidia-ml.so.1 for the hardware tests: one GPU at
   1350 MHz (maximum 2100 MHz), 42 % busy. Anything else is refused the way
   the real library refuses it. */
#include <string.h>

#define NVML_SUCCESS 0
#define NVML_ERROR_UNINITIALIZED 1
#define NVML_ERROR_INVALID_ARGUMENT 2
#define NVML_ERROR_NOT_SUPPORTED 3
#define NVML_ERROR_INSUFFICIENT_SIZE 7

#define EXPORT __attribute__((visibility("default")))

typedef struct {
  unsigned int gpu;
  unsigned int memory;
} fake_utilization;

static int g_device;
static int g_initialised;

static int CheckDevice(void* device) {
  if (!g_initialised) return NVML_ERROR_UNINITIALIZED;
  return device == &g_device ? NVML_SUCCESS : NVML_ERROR_INVALID_ARGUMENT;
}

EXPORT int nvmlInit_v2(void) {
  ++g_initialised;
  return NVML_SUCCESS;
}

EXPORT int nvmlShutdown(void) {
  if (g_initialised > 0) --g_initialised;
  return NVML_SUCCESS;
}

EXPORT int nvmlDeviceGetCount_v2(unsigned int* count) {
  if (!g_initialised) return NVML_ERROR_UNINITIALIZED;
  if (count == 0) return NVML_ERROR_INVALID_ARGUMENT;
  *count = 1;
  return NVML_SUCCESS;
}

EXPORT int nvmlDeviceGetHandleByIndex_v2(unsigned int index, void** device) {
  if (!g_initialised) return NVML_ERROR_UNINITIALIZED;
  if (index != 0 || device == 0) return NVML_ERROR_INVALID_ARGUMENT;
  *device = &g_device;
  return NVML_SUCCESS;
}

EXPORT int nvmlDeviceGetName(void* device, char* name, unsigned int length) {
  static const char kName[] = "NVIDIA GeForce RTX 4070 Laptop GPU";
  int rc = CheckDevice(device);
  if (rc != NVML_SUCCESS) return rc;
  if (length < sizeof kName) return NVML_ERROR_INSUFFICIENT_SIZE;
  memcpy(name, kName, sizeof kName);
  return NVML_SUCCESS;
}

EXPORT int nvmlDeviceGetClockInfo(void* device, int type, unsigned int* mhz) {
  int rc = CheckDevice(device);
  if (rc != NVML_SUCCESS) return rc;
  if (type != 0) return NVML_ERROR_NOT_SUPPORTED;
  *mhz = 1350;
  return NVML_SUCCESS;
}

EXPORT int nvmlDeviceGetMaxClockInfo(void* device, int type, unsigned int* mhz) {
  int rc = CheckDevice(device);
  if (rc != NVML_SUCCESS) return rc;
  if (type != 0) return NVML_ERROR_NOT_SUPPORTED;
  *mhz = 2100;
  return NVML_SUCCESS;
}

EXPORT int nvmlDeviceGetUtilizationRates(void* device, fake_utilization* rates) {
  int rc = CheckDevice(device);
  if (rc != NVML_SUCCESS) return rc;
  rates->gpu = 42;
  rates->memory = 17;
  return NVML_SUCCESS;
}
