/* The GUI's side of the contract, in plain C: every slot is reached through
   the vtable by its index, with stdcall and the agreed argument types. A
   reordered method, a changed signature or a missing STDMETHODCALLTYPE on the
   C++ side makes a slot record the wrong call or corrupt the stack. */
#include "tests/bridge/GuiAbiCaller.h"

#define SLOT(object, index) ((*(void***)(object))[index])

typedef HRESULT(STDMETHODCALLTYPE* QueryFn)(void*, const IID*, void**);
typedef ULONG(STDMETHODCALLTYPE* RefFn)(void*);
typedef HRESULT(STDMETHODCALLTYPE* VoidFn)(void*);
typedef HRESULT(STDMETHODCALLTYPE* IntFn)(void*, int);
typedef HRESULT(STDMETHODCALLTYPE* BoolFn)(void*, BOOL);
typedef HRESULT(STDMETHODCALLTYPE* UintFn)(void*, UINT);
typedef HRESULT(STDMETHODCALLTYPE* FloatFn)(void*, float);
typedef HRESULT(STDMETHODCALLTYPE* UnknownFn)(void*, IUnknown*);
typedef HRESULT(STDMETHODCALLTYPE* IntOutFn)(void*, int*);
typedef HRESULT(STDMETHODCALLTYPE* TextOutFn)(void*, BSTR*);
typedef HRESULT(STDMETHODCALLTYPE* BoolOutFn)(void*, BOOL*);
typedef HRESULT(STDMETHODCALLTYPE* IndexTextOutFn)(void*, UINT, BSTR*);
typedef HRESULT(STDMETHODCALLTYPE* IndexIntOutFn)(void*, UINT, int*);
typedef HRESULT(STDMETHODCALLTYPE* IntBoolOutFn)(void*, int, BOOL*);
typedef HRESULT(STDMETHODCALLTYPE* TwoTextsFn)(void*, BSTR, BSTR);
typedef HRESULT(STDMETHODCALLTYPE* LoginFn)(void*, BSTR, BSTR, BOOL);
typedef HRESULT(STDMETHODCALLTYPE* ConnectFn)(void*, BOOL, int, BSTR, UINT);
typedef HRESULT(STDMETHODCALLTYPE* RatesFn)(void*, unsigned long long*, unsigned long long*, unsigned long long*,
                                            unsigned long long*);
typedef HRESULT(STDMETHODCALLTYPE* HandOverFn)(void*, IUnknown*, void**);
typedef HRESULT(STDMETHODCALLTYPE* AccountsFn)(void*, SAFEARRAY*, int);
typedef HRESULT(STDMETHODCALLTYPE* LatencyFn)(void*, UINT, int);

static const IID iidLoginController = {0xFDFF1275, 0x8A56, 0x474F, {0xBB, 0xD9, 0x25, 0x40, 0x98, 0x20, 0x19, 0x1A}};
static const IID iidMainController = {0xA7898B5D, 0xABDC, 0x49B4, {0x87, 0x88, 0x32, 0x4E, 0xE5, 0x3F, 0x4A, 0x60}};
static const IID iidAccountInfo = {0x75D1C878, 0x3389, 0x4F8A, {0x8C, 0x6F, 0x93, 0x03, 0x5E, 0x87, 0x3E, 0x9C}};
static const IID iidServerList = {0x4E0FA044, 0xFDB0, 0x4620, {0x9F, 0x89, 0x88, 0xE1, 0x7C, 0xB0, 0x81, 0xFF}};
static const IID iidGameList = {0x382C8A0C, 0x39C7, 0x4CA7, {0x8A, 0x8E, 0x83, 0xEE, 0x97, 0x0E, 0x64, 0x71}};
static const IID iidOperation = {0x11CFEEF8, 0xD809, 0x464F, {0xA3, 0x4B, 0xA2, 0xEF, 0x8A, 0x2B, 0xDE, 0x1C}};
static const IID iidGuiEntry = {0x6DFB667F, 0x9BC9, 0x4FF9, {0x97, 0xF9, 0xA9, 0xC7, 0x4A, 0xDE, 0xB5, 0x38}};
static const IID iidLoginView = {0xD1730792, 0x1BAD, 0x4EC1, {0x9F, 0x07, 0x69, 0xDF, 0x98, 0x29, 0x2D, 0xD9}};
static const IID iidMainView = {0xB3BA2400, 0x5ED8, 0x4ADD, {0x92, 0x54, 0xB0, 0xDD, 0x7A, 0xF1, 0x6B, 0xCE}};
static const IID iidOperationProgress = {0x628FB649, 0xEFAF, 0x4DA2, {0xA7, 0x3B, 0x76, 0xCD, 0xA4, 0x28, 0x64, 0x0B}};

static void callUnknown(void* o, const IID* iid, AbiOut* out) {
  out->results[0] = ((QueryFn)SLOT(o, 0))(o, iid, &out->queried);
  out->results[1] = (long)((RefFn)SLOT(o, 1))(o);
  out->results[2] = (long)((RefFn)SLOT(o, 2))(o);
}

static void callVoid(void* o, int slot, AbiOut* out) { out->results[slot] = ((VoidFn)SLOT(o, slot))(o); }
static void callInt(void* o, int slot, int value, AbiOut* out) {
  out->results[slot] = ((IntFn)SLOT(o, slot))(o, value);
}
static void callBool(void* o, int slot, BOOL value, AbiOut* out) {
  out->results[slot] = ((BoolFn)SLOT(o, slot))(o, value);
}
static void callUint(void* o, int slot, UINT value, AbiOut* out) {
  out->results[slot] = ((UintFn)SLOT(o, slot))(o, value);
}
static void callUnknownArg(void* o, int slot, const AbiArgs* a, AbiOut* out) {
  out->results[slot] = ((UnknownFn)SLOT(o, slot))(o, (IUnknown*)a->object);
}
static void callIntOut(void* o, int slot, AbiOut* out) {
  out->results[slot] = ((IntOutFn)SLOT(o, slot))(o, &out->ints[slot]);
}
static void callTextOut(void* o, int slot, AbiOut* out) {
  out->results[slot] = ((TextOutFn)SLOT(o, slot))(o, &out->texts[slot]);
}
static void callIndexTextOut(void* o, int slot, UINT index, AbiOut* out) {
  out->results[slot] = ((IndexTextOutFn)SLOT(o, slot))(o, index, &out->texts[slot]);
}
static void callHandOver(void* o, int slot, const AbiArgs* a, AbiOut* out) {
  out->results[slot] = ((HandOverFn)SLOT(o, slot))(o, (IUnknown*)a->object, &out->pointers[slot]);
}

void abiCallLoginController(void* o, const AbiArgs* a, AbiOut* out) {
  callUnknown(o, &iidLoginController, out);
  callVoid(o, 3, out);
  callVoid(o, 4, out);
  out->results[5] = ((LoginFn)SLOT(o, 5))(o, a->text1, a->text2, 1);
}

void abiCallMainController(void* o, const AbiArgs* a, AbiOut* out) {
  callUnknown(o, &iidMainController, out);
  callVoid(o, 3, out);
  callVoid(o, 4, out);
  out->results[5] = ((ConnectFn)SLOT(o, 5))(o, 1, -17, a->text1, 4000000000u);
  callVoid(o, 6, out);
  callUint(o, 7, 3, out);
  callUint(o, 8, 9, out);
  out->results[9] = ((RatesFn)SLOT(o, 9))(o, &out->rates[0], &out->rates[1], &out->rates[2], &out->rates[3]);
}

void abiCallAccountInfo(void* o, const AbiArgs* a, AbiOut* out) {
  (void)a;
  callUnknown(o, &iidAccountInfo, out);
  callTextOut(o, 3, out);
  callIntOut(o, 4, out);
  callTextOut(o, 5, out);
  callTextOut(o, 6, out);
  callIntOut(o, 7, out);
  callTextOut(o, 8, out);
  callTextOut(o, 9, out);
  callIntOut(o, 10, out);
  callIntOut(o, 11, out);
  callIntOut(o, 12, out);
}

void abiCallServerList(void* o, const AbiArgs* a, AbiOut* out) {
  (void)a;
  callUnknown(o, &iidServerList, out);
  callIntOut(o, 3, out);
  callTextOut(o, 4, out);
  callIndexTextOut(o, 5, 2, out);
}

void abiCallGameList(void* o, const AbiArgs* a, AbiOut* out) {
  (void)a;
  callUnknown(o, &iidGameList, out);
  callIntOut(o, 3, out);
  callTextOut(o, 4, out);
  callIndexTextOut(o, 5, 1, out);
  out->results[6] = ((IndexIntOutFn)SLOT(o, 6))(o, 2, &out->ints[6]);
  callIndexTextOut(o, 7, 3, out);
}

void abiCallOperation(void* o, const AbiArgs* a, AbiOut* out) {
  (void)a;
  callUnknown(o, &iidOperation, out);
  callVoid(o, 3, out);
}

void abiCallGuiEntry(void* o, const AbiArgs* a, AbiOut* out) {
  callUnknown(o, &iidGuiEntry, out);
  callHandOver(o, 3, a, out);
}

void abiCallLoginView(void* o, const AbiArgs* a, AbiOut* out) {
  callUnknown(o, &iidLoginView, out);
  out->results[3] = ((TwoTextsFn)SLOT(o, 3))(o, a->text1, a->text2);
  callInt(o, 4, 5, out);
  callBool(o, 5, 1, out);
  callBool(o, 6, 0, out);
  callHandOver(o, 7, a, out);
  callVoid(o, 8, out);
  callInt(o, 9, -3, out);
  out->results[10] = ((BoolOutFn)SLOT(o, 10))(o, &out->ints[10]);
  callHandOver(o, 11, a, out);
}

void abiCallMainView(void* o, const AbiArgs* a, AbiOut* out) {
  callUnknown(o, &iidMainView, out);
  callVoid(o, 3, out);
  out->results[4] = ((AccountsFn)SLOT(o, 4))(o, (SAFEARRAY*)a->object, 2);
  callUnknownArg(o, 5, a, out);
  callUnknownArg(o, 6, a, out);
  callUnknownArg(o, 7, a, out);
  callBool(o, 8, 1, out);
  out->results[9] = ((LatencyFn)SLOT(o, 9))(o, 6, -1);
  callHandOver(o, 10, a, out);
  callVoid(o, 11, out);
  callVoid(o, 12, out);
  callInt(o, 13, 20005, out);
  callHandOver(o, 14, a, out);
  callVoid(o, 15, out);
  callVoid(o, 16, out);
  callBool(o, 17, 1, out);
  callBool(o, 18, 0, out);
  callBool(o, 19, 1, out);
  callBool(o, 20, 0, out);
  callBool(o, 21, 1, out);
}

void abiCallOperationProgress(void* o, const AbiArgs* a, AbiOut* out) {
  (void)a;
  callUnknown(o, &iidOperationProgress, out);
  callInt(o, 3, 90007, out);
  callBool(o, 4, 1, out);
  out->results[5] = ((FloatFn)SLOT(o, 5))(o, 0.25f);
  out->results[6] = ((IntBoolOutFn)SLOT(o, 6))(o, 90009, &out->ints[6]);
  callInt(o, 7, 90006, out);
  callInt(o, 8, 20032, out);
}
