#include "bridge/win/ListObjects.h"

#include <utility>

#include "core/Text.h"
#include "core/win/System.h"

namespace {

// An empty text is a null BSTR; the GUI frees what it receives.
HRESULT textOut(BSTR* out, const std::string& text) {
  if (!out) return E_POINTER;
  *out = makeBstr(fromUtf8(text));
  return S_OK;
}

HRESULT intOut(int* out, int value) {
  if (!out) return E_POINTER;
  *out = value;
  return S_OK;
}

}  // namespace

AccountInfoObject::AccountInfoObject(std::shared_ptr<const AccountInfo> info) : info_(std::move(info)) {}

HRESULT AccountInfoObject::userName(BSTR* out) { return textOut(out, info_->userName); }
HRESULT AccountInfoObject::status(int* out) { return intOut(out, info_->status); }
HRESULT AccountInfoObject::statusText(BSTR* out) { return textOut(out, info_->statusText); }
HRESULT AccountInfoObject::productName(BSTR* out) { return textOut(out, info_->productName); }
HRESULT AccountInfoObject::policy(int* out) { return intOut(out, info_->policy); }
HRESULT AccountInfoObject::policyText(BSTR* out) { return textOut(out, info_->policyText); }
HRESULT AccountInfoObject::expireDate(BSTR* out) { return textOut(out, info_->expireDate); }
HRESULT AccountInfoObject::balance(int* out) { return intOut(out, info_->balance); }
HRESULT AccountInfoObject::timeLength(int* out) { return intOut(out, info_->timeLength); }
HRESULT AccountInfoObject::flowLength(int* out) { return intOut(out, info_->flowLength); }

template <class Derived, class Interface, class Entry>
HRESULT NamedListObject<Derived, Interface, Entry>::count(int* out) {
  return intOut(out, static_cast<int>(entries_->size()));
}

template <class Derived, class Interface, class Entry>
HRESULT NamedListObject<Derived, Interface, Entry>::preferredName(BSTR* out) {
  return textOut(out, preferredName_);
}

template <class Derived, class Interface, class Entry>
HRESULT NamedListObject<Derived, Interface, Entry>::name(UINT index, BSTR* out) {
  return textOf(index, out, &Entry::name);
}

template <class Derived, class Interface, class Entry>
HRESULT NamedListObject<Derived, Interface, Entry>::textOf(UINT index, BSTR* out,
                                                           const std::string Entry::*field) const {
  if (!out) return E_POINTER;
  const Entry* found = entry(index);
  if (!found) {
    *out = nullptr;
    return E_FAIL;
  }
  return textOut(out, found->*field);
}

template class NamedListObject<ServerListObject, IServerList, ServerEntry>;
template class NamedListObject<GameListObject, IGameList, GameEntry>;

HRESULT GameListObject::id(UINT index, int* out) {
  if (!out) return E_POINTER;
  const GameEntry* found = entry(index);
  if (!found) return E_FAIL;
  *out = found->id;
  return S_OK;
}

HRESULT GameListObject::desc(UINT index, BSTR* out) { return textOf(index, out, &GameEntry::desc); }
