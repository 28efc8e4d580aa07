#include "Form1Window.h"

#include "BindByName.h"
#include "Form1Layout.h"
#include "TextConversion.h"

namespace tidewell {
namespace {

constexpr wchar_t kWindowClass[] = L"TidewellForm1";
constexpr int kClassicDotsPerInch = 96;
constexpr UINT kDpiChangedMessage = 0x02E0;  // WM_DPICHANGED, Windows 8.1 and later

constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kWindowExStyle = 0;

using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
using AdjustWindowRectExForDpiFunction = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);

int ScreenDotsPerInch() {
  const HDC screen = GetDC(nullptr);
  const int dotsPerInch = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return dotsPerInch > 0 ? dotsPerInch : kClassicDotsPerInch;
}

// The dots per inch of the monitor the window is on. GetDpiForWindow exists from Windows 10
// (1607) on; before that every window is drawn at the screen's one setting.
int WindowDotsPerInch(HWND window) {
  static const auto getDpiForWindow =
      OptionalEntryPoint<GetDpiForWindowFunction>(L"user32.dll", "GetDpiForWindow");
  if (getDpiForWindow != nullptr) {
    const UINT dotsPerInch = getDpiForWindow(window);
    if (dotsPerInch > 0) return static_cast<int>(dotsPerInch);
  }
  return ScreenDotsPerInch();
}

// The outer size of a window whose client area is `clientWidth` x `clientHeight` pixels.
SIZE WindowSizeForClient(int clientWidth, int clientHeight, int dotsPerInch) {
  static const auto adjustForDpi = OptionalEntryPoint<AdjustWindowRectExForDpiFunction>(
      L"user32.dll", "AdjustWindowRectExForDpi");
  RECT bounds{0, 0, clientWidth, clientHeight};
  if (adjustForDpi != nullptr) {
    adjustForDpi(&bounds, kWindowStyle, FALSE, kWindowExStyle, static_cast<UINT>(dotsPerInch));
  } else {
    AdjustWindowRectEx(&bounds, kWindowStyle, FALSE, kWindowExStyle);
  }
  return {bounds.right - bounds.left, bounds.bottom - bounds.top};
}

}  // namespace

Form1Window::Form1Window(HINSTANCE instance, Form1& form, MessageBoxRuntime& runtime)
    : instance_(instance), form_(form), runtime_(runtime) {}

Form1Window::~Form1Window() {
  if (font_ != nullptr) DeleteObject(font_);
}

bool Form1Window::RegisterWindowClass() {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &Form1Window::WindowProc;
  windowClass.hInstance = instance_;
  windowClass.hIcon = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(kIconResourceId),
                                                    IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                                    GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
  windowClass.hIconSm = static_cast<HICON>(
      LoadImageW(instance_, MAKEINTRESOURCEW(kIconResourceId), IMAGE_ICON,
                 GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kWindowClass;
  return RegisterClassExW(&windowClass) != 0;
}

bool Form1Window::Show(int showCommand) {
  if (!RegisterWindowClass()) return false;
  // The size is set once the window knows the monitor it is on (LayOut, below).
  window_ = CreateWindowExW(kWindowExStyle, kWindowClass, Utf8ToWide(form1::kCaption).c_str(),
                            kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                            CW_USEDEFAULT, nullptr, nullptr, instance_, this);
  if (window_ == nullptr) return false;
  runtime_.SetOwner(window_);
  CreateCommand1();
  LayOut(WindowDotsPerInch(window_));
  ShowWindow(window_, showCommand);
  UpdateWindow(window_);
  SetFocus(command1_);
  return true;
}

void Form1Window::CreateCommand1() {
  command1_ = CreateWindowExW(0, L"BUTTON", Utf8ToWide(form1::kButtonCaption).c_str(),
                              WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 0, 0, 0,
                              window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kCommand1Id)),
                              instance_, nullptr);
}

void Form1Window::LayOut(int dotsPerInch, const RECT* suggested) {
  using form1::TwipsToPixels;
  const SIZE outer =
      WindowSizeForClient(TwipsToPixels(form1::kClientWidth, dotsPerInch),
                          TwipsToPixels(form1::kClientHeight, dotsPerInch), dotsPerInch);
  if (suggested != nullptr) {
    SetWindowPos(window_, nullptr, suggested->left, suggested->top, outer.cx, outer.cy,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  } else {
    SetWindowPos(window_, nullptr, 0, 0, outer.cx, outer.cy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  MoveWindow(command1_, TwipsToPixels(form1::kButtonLeft, dotsPerInch),
             TwipsToPixels(form1::kButtonTop, dotsPerInch),
             TwipsToPixels(form1::kButtonWidth, dotsPerInch),
             TwipsToPixels(form1::kButtonHeight, dotsPerInch), TRUE);
  ReplaceFont(dotsPerInch);
}

// The user's message font, at the size it has on this monitor.
void Form1Window::ReplaceFont(int dotsPerInch) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) return;
  LOGFONTW face = metrics.lfMessageFont;
  face.lfHeight = MulDiv(face.lfHeight, dotsPerInch, ScreenDotsPerInch());
  const HFONT font = CreateFontIndirectW(&face);
  if (font == nullptr) return;
  SendMessageW(command1_, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  if (font_ != nullptr) DeleteObject(font_);
  font_ = font;
}

int Form1Window::RunMessageLoop() {
  MSG message{};
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    // Tab, Enter and Space reach the button as they would in a dialog.
    if (IsDialogMessageW(window_, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}

LRESULT CALLBACK Form1Window::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
  }
  auto* self = reinterpret_cast<Form1Window*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr || self->window_ == nullptr) {
    return DefWindowProcW(window, message, wParam, lParam);
  }
  return self->HandleMessage(message, wParam, lParam);
}

LRESULT Form1Window::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (LOWORD(wParam) == kCommand1Id && HIWORD(wParam) == BN_CLICKED) {
        DeliverEvent(runtime_, [&] { form_.Command1_Click(); });
        return 0;
      }
      break;
    case DM_GETDEFID:  // Enter presses the one button
      return MAKELRESULT(kCommand1Id, DC_HASDEFID);
    case WM_SETFOCUS:  // coming back to the window puts the focus on the button again
      SetFocus(command1_);
      return 0;
    case kDpiChangedMessage:
      LayOut(HIWORD(wParam), reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_DESTROY:  // closing the window ends the program; nothing is saved
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window_, message, wParam, lParam);
}

}  // namespace tidewell
