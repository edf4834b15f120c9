/* The two format lists of the main window. */
#ifndef PLUGIN_IDS_H
#define PLUGIN_IDS_H

#define IDC_SOURCE_FORMAT 109
#define IDC_TARGET_FORMAT 110

#endif
