#ifndef ZAV_TESTS_BRIDGE_GUI_ABI_CALLER_H
#define ZAV_TESTS_BRIDGE_GUI_ABI_CALLER_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// What the C caller passes in and reads back, by slot index.
enum { abiMaxSlots = 24 };
typedef struct AbiArgs {
  BSTR text1;
  BSTR text2;
  void* object;  // passed wherever a method takes an interface pointer
} AbiArgs;
typedef struct AbiOut {
  long results[abiMaxSlots];  // each slot's return value
  int ints[abiMaxSlots];
  BSTR texts[abiMaxSlots];
  void* pointers[abiMaxSlots];
  unsigned long long rates[4];
  void* queried;  // QueryInterface's out pointer for the object's own IID
} AbiOut;

// Each calls every slot of one interface on object, in slot order, through the
// vtable by index, with the calling convention and signature the GUI uses.
void abiCallLoginController(void* object, const AbiArgs* args, AbiOut* out);
void abiCallMainController(void* object, const AbiArgs* args, AbiOut* out);
void abiCallAccountInfo(void* object, const AbiArgs* args, AbiOut* out);
void abiCallServerList(void* object, const AbiArgs* args, AbiOut* out);
void abiCallGameList(void* object, const AbiArgs* args, AbiOut* out);
void abiCallOperation(void* object, const AbiArgs* args, AbiOut* out);
void abiCallGuiEntry(void* object, const AbiArgs* args, AbiOut* out);
void abiCallLoginView(void* object, const AbiArgs* args, AbiOut* out);
void abiCallMainView(void* object, const AbiArgs* args, AbiOut* out);
void abiCallOperationProgress(void* object, const AbiArgs* args, AbiOut* out);

#ifdef __cplusplus
}
#endif

#endif
