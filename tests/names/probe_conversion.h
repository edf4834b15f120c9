// The probe conversion run through the real main dialog, as the name tests
// run it in either code page: a pattern, the two options, Convert.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "app/convert_command.h"
#include "browser/browser_ids.h"
#include "convert/convert_file.h"
#include "convert/convert_ids.h"
#include "tests/common/test_support.h"

class ProbeConversionTest : public TempDirTest {
protected:
    MainDialog main;
    HMODULE probe = nullptr;

    // The probe conversion offered and chosen, once the test's files are made.
    void offer_probe()
    {
        probe = offer_probe_conversion(main);
        ASSERT_NE(nullptr, probe);
    }
    void TearDown() override
    {
        replace_mode = 0;
        CheckDlgButton(main.hwnd(), IDC_RECURSIVE, BST_UNCHECKED);
        CheckDlgButton(main.hwnd(), IDC_REPLACE, BST_UNCHECKED);
        TempDirTest::TearDown();
    }
    void convert_pattern(const std::string &pattern, bool recursive, bool replace)
    {
        SetDlgItemTextA(main.hwnd(), IDC_PATTERN, pattern.c_str());
        CheckDlgButton(main.hwnd(), IDC_RECURSIVE, recursive ? BST_CHECKED : BST_UNCHECKED);
        CheckDlgButton(main.hwnd(), IDC_REPLACE, replace ? BST_CHECKED : BST_UNCHECKED);
        convert_command();
    }
};
