#pragma once

// The read-only objects the main window gets for the chosen sub-account's
// details, its servers and the games. Each shares the record or list the
// controller built; the controller goes on writing the probe fields of the
// server list it holds as current. Main thread only, apart from the count.
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bridge/AccountAnswers.h"
#include "bridge/win/ComRefCount.h"
#include "bridge/win/GuiInterfaces.h"

class AccountInfoObject : public ComObject<AccountInfoObject, IAccountInfo> {
 public:
  explicit AccountInfoObject(std::shared_ptr<const AccountInfo> info);

  HRESULT STDMETHODCALLTYPE userName(BSTR* out) override;
  HRESULT STDMETHODCALLTYPE status(int* out) override;
  HRESULT STDMETHODCALLTYPE statusText(BSTR* out) override;
  HRESULT STDMETHODCALLTYPE productName(BSTR* out) override;
  HRESULT STDMETHODCALLTYPE policy(int* out) override;
  HRESULT STDMETHODCALLTYPE policyText(BSTR* out) override;
  HRESULT STDMETHODCALLTYPE expireDate(BSTR* out) override;
  HRESULT STDMETHODCALLTYPE balance(int* out) override;
  HRESULT STDMETHODCALLTYPE timeLength(int* out) override;
  HRESULT STDMETHODCALLTYPE flowLength(int* out) override;

  // Holds nothing bound to a thread: a last release anywhere destroys at once.
  void postToOwnerThread(std::function<void()> task) { task(); }

 private:
  friend class ComObject<AccountInfoObject, IAccountInfo>;
  ~AccountInfoObject() = default;

  std::shared_ptr<const AccountInfo> info_;
};

// The part the server and game lists share: the entries, the preferred name
// (the saved preference when the object was made) and the index test.
template <class Derived, class Interface, class Entry>
class NamedListObject : public ComObject<Derived, Interface> {
 public:
  NamedListObject(std::shared_ptr<const std::vector<Entry>> entries, std::string preferredName)
      : entries_(std::move(entries)), preferredName_(std::move(preferredName)) {}

  HRESULT STDMETHODCALLTYPE count(int* out) override;
  HRESULT STDMETHODCALLTYPE preferredName(BSTR* out) override;
  HRESULT STDMETHODCALLTYPE name(UINT index, BSTR* out) override;

  void postToOwnerThread(std::function<void()> task) { task(); }

 protected:
  ~NamedListObject() = default;
  // Null when index is at or above the current number of entries.
  const Entry* entry(UINT index) const { return index < entries_->size() ? &(*entries_)[index] : nullptr; }
  // A text of the entry at index, or null text and E_FAIL out of range.
  HRESULT textOf(UINT index, BSTR* out, const std::string Entry::*field) const;

 private:
  std::shared_ptr<const std::vector<Entry>> entries_;
  std::string preferredName_;
};

class ServerListObject : public NamedListObject<ServerListObject, IServerList, ServerEntry> {
 public:
  using NamedListObject::NamedListObject;

 private:
  friend class ComObject<ServerListObject, IServerList>;
  ~ServerListObject() = default;
};

class GameListObject : public NamedListObject<GameListObject, IGameList, GameEntry> {
 public:
  using NamedListObject::NamedListObject;

  // Out of range: E_FAIL, and out keeps its value.
  HRESULT STDMETHODCALLTYPE id(UINT index, int* out) override;
  HRESULT STDMETHODCALLTYPE desc(UINT index, BSTR* out) override;

 private:
  friend class ComObject<GameListObject, IGameList>;
  ~GameListObject() = default;
};
