/* The options and the Convert button of the main window. */
#ifndef CONVERT_IDS_H
#define CONVERT_IDS_H

#define IDC_RECURSIVE 53
#define IDC_REPLACE 55
#define IDC_CONVERT 107

#endif
