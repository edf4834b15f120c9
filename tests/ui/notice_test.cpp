// The notice dialog in a real window, the busy cursor, system error texts
// and the placement rule.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "app/app_state.h"
#include "tests/common/test_support.h"
#include "ui/notice.h"
#include "ui/ui_ids.h"

namespace {

struct seen_notice {
    std::string text;
    std::string title;
    RECT rect{}, box{}, button{};
    int needed = 0;
    bool found = false;
};
seen_notice seen;

HWND find_notice()
{
    return FindWindowA("#32770", notice_caption);
}

void remember_notice(HWND notice)
{
    char text[256] = "";
    char title[256] = "";
    GetDlgItemTextA(notice, IDC_NOTICE_TEXT, text, sizeof text);
    GetWindowTextA(notice, title, sizeof title);
    seen.text = text;
    seen.title = title;
    GetWindowRect(notice, &seen.rect);
    HWND box = GetDlgItem(notice, IDC_NOTICE_TEXT);
    GetWindowRect(box, &seen.box);
    GetWindowRect(GetDlgItem(notice, IDC_NOTICE_OK), &seen.button);
    // what the box needs at its width, measured as a static control draws
    RECT needed;
    GetClientRect(box, &needed);
    HDC dc = GetDC(box);
    SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(box, WM_GETFONT, 0, 0)));
    std::string full(1024, '\0');
    full.resize(GetWindowTextA(box, &full[0], static_cast<int>(full.size())));
    DrawTextA(dc, full.c_str(), -1, &needed, DT_CALCRECT | DT_WORDBREAK | DT_CENTER);
    ReleaseDC(box, dc);
    seen.needed = needed.bottom - needed.top;
    seen.found = true;
}

void CALLBACK press_ok(HWND, UINT, UINT_PTR timer, DWORD)
{
    HWND notice = find_notice();
    if (!notice)
        return;
    KillTimer(nullptr, timer);
    remember_notice(notice);
    SendMessageA(notice, WM_COMMAND, MAKEWPARAM(IDC_NOTICE_OK, BN_CLICKED), 0);
}

void CALLBACK look_only(HWND, UINT, UINT_PTR timer, DWORD)
{
    HWND notice = find_notice();
    if (!notice)
        return;
    KillTimer(nullptr, timer);
    remember_notice(notice);
}

class NoticeWindow : public ::testing::Test {
protected:
    void SetUp() override { seen = seen_notice{}; }
    MainDialog main;
};

TEST_F(NoticeWindow, ModalNoticeShowsTextAndEndsWithZeroOnOk)
{
    SetTimer(nullptr, 0, 50, press_ok);
    const int result = show_notice("File a.txt doesn't have the format you selected.");
    EXPECT_EQ(0, result);
    ASSERT_TRUE(seen.found) << "the notice window never appeared";
    EXPECT_EQ("File a.txt doesn't have the format you selected.", seen.text);
    EXPECT_EQ(std::string(notice_caption), seen.title);
    EXPECT_EQ(0, std::string(notice_caption).rfind("Morphex - ", 0)) << notice_caption;
}

// A long name with a plug-in's reason under it: the box grows until the
// whole text fits, and the OK button stays below it.
TEST_F(NoticeWindow, LongTextMakesTheNoticeTaller)
{
    const std::string short_text = "File a.txt doesn't have the format you selected.";
    std::string words;
    for (int i = 0; i < 30; ++i)
        words += " and words";
    const std::string long_text = "File minutes of the meeting" + words + ".md doesn't have the format you selected.\n" +
                                  "The table in line 12 has no end" + words + ".";
    RECT heights[2]{};
    for (int i = 0; i < 2; ++i) {
        SetTimer(nullptr, 0, 50, press_ok);
        show_notice((i == 0 ? short_text : long_text).c_str());
        ASSERT_TRUE(seen.found) << "the notice window never appeared";
        heights[i] = seen.rect;
    }
    EXPECT_GT(heights[1].bottom - heights[1].top, heights[0].bottom - heights[0].top) << long_text;
    EXPECT_GE(seen.box.bottom - seen.box.top, seen.needed) << long_text;
    EXPECT_GE(seen.button.top, seen.box.bottom) << long_text;
}

TEST_F(NoticeWindow, TimedNoticeClosedByOkEndsWithZero)
{
    SetTimer(nullptr, 0, 50, press_ok);
    const DWORD start = GetTickCount();
    show_timed_notice("closed early");
    EXPECT_EQ(0, last_notice_result());
    EXPECT_LT(GetTickCount() - start, 2500u);
    EXPECT_EQ("closed early", seen.text);
    // The timer of the closed notice is gone: a later notice is not cut short.
    seen = seen_notice{};
    SetTimer(nullptr, 0, 50, press_ok);
    EXPECT_EQ(0, show_notice("next"));
    EXPECT_EQ("next", seen.text);
}

// The one test that waits for the three seconds of a timed notice.
TEST_F(NoticeWindow, TimedNoticeLeftAloneEndsAfterThreeSecondsWithMinusOne)
{
    SetTimer(nullptr, 0, 50, look_only);
    const DWORD start = GetTickCount();
    show_timed_notice("left alone");
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_EQ(-1, last_notice_result());
    EXPECT_GE(elapsed, 2900u);
    EXPECT_LT(elapsed, 6000u);
    EXPECT_EQ("left alone", seen.text);
    EXPECT_EQ(nullptr, find_notice()) << "the notice window outlived its timer";
}

TEST_F(NoticeWindow, NoticeIsCentredOverTheMainWindow)
{
    RECT owner;
    SetWindowPos(main.hwnd(), nullptr, 40, 30, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    GetWindowRect(main.hwnd(), &owner);
    SetTimer(nullptr, 0, 50, press_ok);
    show_notice("centred");
    ASSERT_TRUE(seen.found);
    const int width = seen.rect.right - seen.rect.left;
    const int height = seen.rect.bottom - seen.rect.top;
    EXPECT_EQ((owner.right - owner.left - width) / 2 + owner.left, seen.rect.left);
    EXPECT_EQ((owner.bottom - owner.top - height) / 2 + owner.top, seen.rect.top);
}

TEST(BusyCursor, RunsThroughTwelveFramesAndWraps)
{
    const int before = busy_cursor_frame();
    for (int step = 1; step <= 25; ++step) {
        busy_step();
        const int expected_frame = (before + step - 1) % 12 + 1;
        const int resource = IDC_BUSY_FIRST - 1 + expected_frame;
        EXPECT_EQ(expected_frame, busy_cursor_frame()) << "step " << step;
        HCURSOR expected = LoadCursorA(app_instance, MAKEINTRESOURCEA(resource));
        ASSERT_NE(nullptr, expected) << "cursor resource " << resource << " missing";
        EXPECT_EQ(expected, GetCursor()) << "step " << step << ": expected cursor " << resource;
    }
}

TEST(SystemError, ShowsTheSystemTextOrTheCode)
{
    NoticeRecorder recorder;
    char expected[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_FILE_NOT_FOUND,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), expected, sizeof expected, nullptr);
    ASSERT_NE('\0', expected[0]);

    SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, show_system_error(0));
    EXPECT_EQ(static_cast<int>(0x2A2A2A2A), show_system_error(0x2A2A2A2A));

    ASSERT_EQ(2u, recorder.notices().size());
    EXPECT_EQ(notice_kind::system_error, recorder.notices()[0].kind);
    EXPECT_EQ(std::string(expected), recorder.notices()[0].text);
    EXPECT_EQ("Err. 707406378", recorder.notices()[1].text);
}

// A popup of a given size centred over a window at a given place.
struct placement_case {
    int width;          // of the window placed
    int over_left;      // reference window, or -1 for the screen
    int over_width;
    int expected_left;  // -2: screen width - width
};

TEST(CenterWindow, ClampsToTheScreen)
{
    const int screen_width = GetSystemMetrics(SM_CXSCREEN);
    const placement_case cases[] = {
        {400, 10, 300, 0},                 // 10 + (300 - 400) / 2 = -40, clamped to 0
        {200, 100, 400, 200},              // inside: 100 + 100
        {200, screen_width - 150, 300, -2},  // past the right edge
        {200, -1, 0, (screen_width - 200) / 2},
    };
    for (const placement_case &c : cases) {
        HWND window = CreateWindowExA(0, "STATIC", "", WS_POPUP, 5, 5, c.width, 50, nullptr, nullptr, nullptr,
                                      nullptr);
        HWND over = nullptr;
        if (c.over_left != -1)
            over = CreateWindowExA(0, "STATIC", "", WS_POPUP, c.over_left, 100, c.over_width, 80, nullptr,
                                   nullptr, nullptr, nullptr);
        center_window(window, over);
        RECT rect;
        GetWindowRect(window, &rect);
        const int expected = c.expected_left == -2 ? screen_width - c.width : c.expected_left;
        EXPECT_EQ(expected, rect.left) << "width " << c.width << " over left " << c.over_left << " width "
                                       << c.over_width;
        EXPECT_EQ(c.width, rect.right - rect.left) << "size must not change";
        if (over)
            DestroyWindow(over);
        DestroyWindow(window);
    }
}

}  // namespace
