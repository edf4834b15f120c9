/* Controls of the browser area of the main window. */
#ifndef BROWSER_IDS_H
#define BROWSER_IDS_H

#define IDC_COUNT 19129
#define IDC_LENGTH 19130
#define IDC_PATH 19131
#define IDC_FILES 19132
#define IDC_DIRS 19133
#define IDC_DRIVES 19134
#define IDC_PATTERN 19135
#define IDC_ROOT 126
#define IDC_PARENT 127

#endif
