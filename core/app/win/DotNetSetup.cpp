#include "core/app/win/DotNetSetup.h"

#include <commctrl.h>
#include <mbedtls/sha512.h>

#include <algorithm>
#include <exception>
#include <utility>

#include "BuildConfig.h"
#include "core/Endpoints.h"
#include "core/QuoteArgument.h"
#include "core/RandomGenerator.h"
#include "core/Text.h"
#include "core/UiTaskQueue.h"
#include "core/win/AdminOnlyFolder.h"
#include "core/win/ChildProcess.h"
#include "core/win/LinkChecks.h"
#include "core/win/System.h"
#include "core/win/UiTaskQueueWin.h"
#include "core/win/WinHandle.h"
#include "service/HttpThread.h"
#include "service/Url.h"

namespace {

constexpr DWORD kFirstDotNet45Release = 378389;
constexpr int kProgressRange = 10000;
constexpr int kCancelButtonId = 0xABCD;
constexpr DWORD kWindowStyle = WS_VISIBLE | WS_CAPTION | WS_SYSMENU;
constexpr wchar_t kWindowClass[] = L"ZavDotNetSetupWindow";

// The installer's "done, restart needed" codes are successes too.
bool installerSucceeded(uint32_t exitCode) { return exitCode == 0 || exitCode == 3010 || exitCode == 1641; }

std::string digestFromHex(const std::string& hex) {
  std::string digest;
  if (hex.size() != 128) return digest;
  try {
    for (size_t i = 0; i < hex.size(); i += 2) {
      digest.push_back(char(hexDigitValue(hex[i]) * 16 + hexDigitValue(hex[i + 1])));
    }
  } catch (const std::exception&) {
    digest.clear();
  }
  return digest;
}

// Reports of one request, moved onto the window's thread. Holds the queue
// until a task posted by its destructor has run, so the loop outlives every
// task that names the window.
class DotNetDownloadListener : public HttpListener {
 public:
  DotNetDownloadListener(UiTaskQueue* queue, DotNetSetupWindow* window, uint32_t id)
      : queue_(queue), window_(window), id_(id) {
    queue_->hold();
  }
  ~DotNetDownloadListener() override {
    UiTaskQueue* queue = queue_;
    queue->post([queue] { queue->release(); });
  }

  void onError() override {
    DotNetSetupWindow* window = window_;
    uint32_t id = id_;
    queue_->post([window, id] { window->onDownloadError(id); });
  }
  void onComplete(std::string body) override {
    DotNetSetupWindow* window = window_;
    uint32_t id = id_;
    auto shared = std::make_shared<std::string>(std::move(body));
    queue_->post([window, id, shared] { window->onDownloaded(id, *shared); });
  }
  void onProgress(uint32_t done, uint32_t total) override {
    DotNetSetupWindow* window = window_;
    uint32_t id = id_;
    queue_->post([window, id, done, total] { window->onProgress(id, done, total); });
  }

 private:
  UiTaskQueue* queue_;
  DotNetSetupWindow* window_;
  uint32_t id_;
};

void registerWindowClass(WNDPROC proc) {
  static const bool registered = [proc] {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    windowClass.lpfnWndProc = proc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kWindowClass;
    return RegisterClassExW(&windowClass) != 0;
  }();
  (void)registered;
}

HWND createControl(const wchar_t* className, const wchar_t* text, DWORD style, int x, int y, int width, int height,
                   HWND parent) {
  return CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height, parent, nullptr,
                         GetModuleHandleW(nullptr), nullptr);
}

}  // namespace

bool isDotNet45Installed() {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full", 0,
                    KEY_READ | registryViewFlag(), &opened) != ERROR_SUCCESS) {
    return false;
  }
  WinKey key(opened, winhandle::kNoCloseCode);
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key.get(), L"Release", nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_DWORD ||
      size != sizeof(DWORD)) {
    return false;
  }
  DWORD release = 0;
  if (RegQueryValueExW(key.get(), L"Release", nullptr, &type, reinterpret_cast<BYTE*>(&release), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof(DWORD)) {
    return false;
  }
  return release >= kFirstDotNet45Release;
}

RuntimeInstallerSource builtInRuntimeInstaller() {
  return RuntimeInstallerSource{runtimeInstallerUrl(), buildconfig::runtimeInstallerSha512};
}

void installDotNetFramework(const RuntimeInstallerSource& source) {
  if (MessageBoxW(nullptr, L"此程序需要.NET Framework 4.5才可启动\n是否下载并安装?", L"未找到.NET Framework",
                  MB_YESNO | MB_ICONWARNING) != IDYES) {
    return;
  }
  auto rng = std::make_shared<RandomGenerator>();
  UiTaskQueue queue(makeMessageWaitSignal());
  {
    DotNetSetupWindow window(&queue, rng, source);
    window.startDownload();
    queue.run();
  }
}

DotNetSetupWindow::DotNetSetupWindow(UiTaskQueue* queue, std::shared_ptr<RandomGenerator> rng,
                                     RuntimeInstallerSource source)
    : queue_(queue), rng_(std::move(rng)), url_(std::move(source.url)), digest_(digestFromHex(source.sha512Hex)) {
  queue_->hold();
  // The progress class is registered by the common controls library only on request.
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  registerWindowClass(&DotNetSetupWindow::windowProc);

  RECT rect{0, 0, 500, 100};
  AdjustWindowRect(&rect, kWindowStyle, FALSE);
  int width = rect.right - rect.left;
  int height = rect.bottom - rect.top;
  int left = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  int top = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  CreateWindowExW(0, kWindowClass, L"正在下载并安装.NET Framework 4.5", kWindowStyle, left, top, width, height,
                  nullptr, nullptr, GetModuleHandleW(nullptr), this);
  if (!window_) {
    // Nothing to show progress in (no desktop): end before any download.
    finish();
    return;
  }

  progressBar_ = createControl(PROGRESS_CLASSW, nullptr, 0, 20, 30, 460, 20, window_);
  SendMessageW(progressBar_, PBM_SETRANGE, 0, MAKELPARAM(0, kProgressRange));
  HGDIOBJ font = GetStockObject(DEFAULT_GUI_FONT);
  label_ = createControl(L"STATIC", L"正在下载", SS_CENTER, 0, 10, 500, 20, window_);
  SendMessageW(label_, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  cancelButton_ = createControl(L"BUTTON", L"取消", 0, 210, 60, 80, 30, window_);
  SendMessageW(cancelButton_, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  SetWindowLongPtrW(cancelButton_, GWLP_ID, kCancelButtonId);
}

DotNetSetupWindow::~DotNetSetupWindow() {
  if (window_) {
    DestroyWindow(cancelButton_);
    DestroyWindow(label_);
    DestroyWindow(progressBar_);
    DestroyWindow(window_);
  }
  installer_.reset();
  installerFile_.reset();
  installerFolder_.reset();
  download_.reset();
  rng_.reset();
}

LRESULT CALLBACK DotNetSetupWindow::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<DotNetSetupWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    self->window_ = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<DotNetSetupWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!self) return DefWindowProcW(window, message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    // The children went with the window; their handles may be reused.
    self->window_ = nullptr;
    self->progressBar_ = self->label_ = self->cancelButton_ = nullptr;
    return DefWindowProcW(window, message, wParam, lParam);
  }
  return self->processMessage(message, wParam, lParam);
}

LRESULT DotNetSetupWindow::processMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      finish();
      return 0;
    case WM_CLOSE:
      // A disabled window can still be sent WM_CLOSE; it stays while the installer runs.
      if (installer_) return 0;
      break;
    case WM_CTLCOLORSTATIC:
      SetBkColor(reinterpret_cast<HDC>(wParam), RGB(255, 255, 255));
      return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
    case WM_COMMAND:
      if (LOWORD(wParam) == kCancelButtonId) finish();
      return 0;
  }
  return DefWindowProcW(window_, message, wParam, lParam);
}

void DotNetSetupWindow::startDownload() {
  if (finished_) return;
  SendMessageW(progressBar_, PBM_SETPOS, 0, 0);
  std::shared_ptr<UrlParts> url;
  try {
    url = std::make_shared<UrlParts>(parseUrl(url_));
  } catch (const std::exception&) {
    queue_->post([this] { askRetry(); });
    return;
  }
  ++requestId_;
  auto listener = std::make_shared<DotNetDownloadListener>(queue_, this, requestId_);
  std::shared_ptr<HttpThread> previous = std::move(download_);
  download_ = std::make_shared<HttpThread>(rng_, std::move(listener), std::move(url));
  previous.reset();
}

void DotNetSetupWindow::askRetry() {
  if (finished_) return;
  int answer = MessageBoxW(window_, L"下载失败, 是否重试?", L"下载失败", MB_YESNO | MB_ICONERROR);
  // The window may have been finished while the prompt was up.
  if (finished_) return;
  if (answer == IDYES) {
    startDownload();
  } else {
    finish();
  }
}

void DotNetSetupWindow::onDownloadError(uint32_t id) {
  if (id == requestId_ && download_) askRetry();
}

void DotNetSetupWindow::onProgress(uint32_t id, uint32_t done, uint32_t total) {
  if (id != requestId_ || !download_) return;
  WPARAM position = 0;
  if (total != 0) position = WPARAM(uint64_t(std::min(done, total)) * kProgressRange / total);
  SendMessageW(progressBar_, PBM_SETPOS, position, 0);
}

bool DotNetSetupWindow::digestMatches(HANDLE file) const {
  LARGE_INTEGER start;
  start.QuadPart = 0;
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
  mbedtls_sha512_context context;
  mbedtls_sha512_init(&context);
  bool read = mbedtls_sha512_starts_ret(&context, 0) == 0;
  std::string chunk(64 * 1024, '\0');
  for (DWORD got = 1; read && got != 0;) {
    read = ReadFile(file, &chunk[0], static_cast<DWORD>(chunk.size()), &got, nullptr) &&
           mbedtls_sha512_update_ret(&context, reinterpret_cast<const unsigned char*>(chunk.data()), got) == 0;
  }
  unsigned char actual[64];
  read = read && mbedtls_sha512_finish_ret(&context, actual) == 0;
  mbedtls_sha512_free(&context);
  return read && digest_.size() == sizeof actual &&
         std::equal(actual, actual + sizeof actual, digest_.begin(),
                    [](unsigned char a, char b) { return a == (unsigned char)b; });
}

void DotNetSetupWindow::onDownloaded(uint32_t id, const std::string& body) {
  if (id != requestId_ || !download_) return;
  download_.reset();
  SendMessageW(progressBar_, PBM_SETPOS, kProgressRange, 0);

  // The installer runs elevated: it is written where only administrators
  // write, and the digest is checked on the file as it is then held (no
  // write or delete sharing) until the installer has ended, so the bytes that
  // run are the bytes checked.
  std::unique_ptr<AdminOnlyFolder> folder;
  std::wstring path;
  try {
    folder = AdminOnlyFolder::create();
    if (folder) path = folder->writeFile(L"dotnet-installer.exe", body);
  } catch (const std::exception&) {
    path.clear();
  }
  if (path.empty()) {
    MessageBoxW(window_, L"创建临时文件失败", L"安装失败", MB_ICONERROR);
    finish();
    return;
  }
  WinFile held = openWithoutLinks(path, GENERIC_READ, FILE_SHARE_READ);
  if (!held || !digestMatches(held.get())) {
    held.reset();
    folder.reset();
    MessageBoxW(window_, L"安装包校验失败", L"错误", MB_ICONWARNING);
    askRetry();
    return;
  }
  SetWindowTextW(label_, L"正在安装");
  EnableWindow(cancelButton_, FALSE);
  EnableWindow(window_, FALSE);

  // Its own new folder is also where it unpacks (TMP, TEMP) and runs.
  installer_ =
      ChildProcess::create(path, quoteArgument(path) + L" /q /norestart", ChildFolders::inside(folder->path()));
  if (!installer_) {
    held.reset();
    folder.reset();
    MessageBoxW(window_, L"运行安装程序失败", L"安装失败", MB_ICONERROR);
    finish();
    return;
  }
  installerFile_ = std::move(held);
  installerFolder_ = std::move(folder);
  UiTaskQueue* queue = queue_;
  installer_->setExitCallback([this, queue] { queue->post([this] { onInstallerExit(); }); });
}

void DotNetSetupWindow::onInstallerExit() {
  if (!installer_) return;
  uint32_t exitCode = installer_->exitCode();
  // The handles go first so that nothing of the ended installer keeps its file.
  installer_.reset();
  installerFile_.reset();
  installerFolder_.reset();
  if (installerSucceeded(exitCode)) {
    MessageBoxW(window_, L"安装成功, 请重新运行本程序", L"安装成功", MB_ICONINFORMATION);
  } else {
    MessageBoxW(window_, L"安装程序运行出错", L"安装失败", MB_ICONERROR);
  }
  finish();
}

void DotNetSetupWindow::finish() {
  if (installer_ || finished_) return;
  finished_ = true;
  queue_->release();
  std::shared_ptr<HttpThread> released = std::move(download_);
  released.reset();
}
