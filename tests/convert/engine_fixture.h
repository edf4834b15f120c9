// A test of the engine as the window drives it: a fresh directory, the path
// buffers, empty format tables, replace mode off, the main window that
// plug-ins are loaded for and the notices it is given; the plug-ins loaded
// from the directory are unloaded at the end.
#pragma once

#include <cstring>

#include "app/app_state.h"
#include "convert/convert_file.h"
#include "plugins/registry.h"
#include "tests/common/test_support.h"

class EngineTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        if (!source_path) {
            ASSERT_TRUE(alloc_path_buffers());
        }
        std::memset(source_formats, 0, sizeof source_formats);
        std::memset(target_formats, 0, sizeof target_formats);
        replace_mode = 0;
    }
    void TearDown() override
    {
        unload_plugins_in(dir());
        TempDirTest::TearDown();
    }

    MainDialog main;
    NoticeRecorder notices;
};
