/* A stand-in for nvapi64.dll for the hardware tests: one GPU at a current
   graphics clock of 1 350 000 kHz, a maximum of 2 100 000 kHz, 42 % busy,
   co-processor state 1. Structures with the wrong version word are refused
   as the driver refuses them, so a wrong size or version shows up. */
#include <stdint.h>
#include <string.h>

#define NVAPI_OK 0
#define NVAPI_ERROR (-1)
#define NVAPI_INVALID_ARGUMENT (-5)
#define NVAPI_API_NOT_INITIALIZED (-4)
#define NVAPI_INCOMPATIBLE_STRUCT_VERSION (-9)

static int g_gpu;
static int g_initialised;

static int Initialize(void) {
  g_initialised = 1;
  return NVAPI_OK;
}

static int EnumPhysicalGPUs(void** handles, uint32_t* count) {
  if (!g_initialised) return NVAPI_API_NOT_INITIALIZED;
  handles[0] = &g_gpu;
  *count = 1;
  return NVAPI_OK;
}

static int GetFullName(void* gpu, char* name) {
  if (gpu != &g_gpu) return NVAPI_INVALID_ARGUMENT;
  strcpy(name, "NVIDIA GeForce RTX 4070 Laptop GPU");
  return NVAPI_OK;
}

static int GetAllClockFrequencies(void* gpu, uint32_t* info) {
  if (gpu != &g_gpu) return NVAPI_INVALID_ARGUMENT;
  if (info[0] != ((3u << 16) | 264u)) return NVAPI_INCOMPATIBLE_STRUCT_VERSION;
  if ((info[1] & 0xF) != 0) return NVAPI_INVALID_ARGUMENT; /* only the current clocks here */
  info[2] = 1;        /* graphics domain present */
  info[3] = 1350000;  /* kHz */
  info[4] = 1;        /* memory domain */
  info[5] = 7000000;
  return NVAPI_OK;
}

static int GetDynamicPstatesInfoEx(void* gpu, uint32_t* info) {
  if (gpu != &g_gpu) return NVAPI_INVALID_ARGUMENT;
  if (info[0] != ((1u << 16) | 72u)) return NVAPI_INCOMPATIBLE_STRUCT_VERSION;
  info[2] = 1;
  info[3] = 42;
  info[4] = 1;
  info[5] = 13;
  return NVAPI_OK;
}

static int GetPstates20(void* gpu, uint32_t* info) {
  if (gpu != &g_gpu) return NVAPI_INVALID_ARGUMENT;
  if (info[0] != ((3u << 16) | 7416u)) return NVAPI_INCOMPATIBLE_STRUCT_VERSION;
  info[2] = 1;        /* numPstates */
  info[3] = 1;        /* numClocks */
  info[5] = 0;        /* offset 20: pstates[0].pstateId */
  info[7] = 0;        /* offset 28: clocks[0].domainId, graphics */
  info[8] = 1;        /* offset 32: clocks[0].typeId, range */
  info[13] = 300000;  /* offset 52: range minFreq_kHz */
  info[14] = 2100000; /* offset 56: range maxFreq_kHz */
  return NVAPI_OK;
}

static int CoprocGetCoprocStatus(uint32_t* status, uint32_t* state) {
  *status = 0;
  *state = 1;
  return NVAPI_OK;
}

__declspec(dllexport) void* nvapi_QueryInterface(uint32_t id) {
  switch (id) {
    case 0x0150E828u: return (void*)&Initialize;
    case 0xE5AC921Fu: return (void*)&EnumPhysicalGPUs;
    case 0xCEEE8E9Fu: return (void*)&GetFullName;
    case 0x6FF81213u: return (void*)&GetPstates20;
    case 0x60DED2EDu: return (void*)&GetDynamicPstatesInfoEx;
    case 0xDCB616C3u: return (void*)&GetAllClockFrequencies;
    case 0x1EFC3957u: return (void*)&CoprocGetCoprocStatus;
    default: return 0;
  }
}
