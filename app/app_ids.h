/* Dialog, control and system menu ids of the main window and the About box. */
#ifndef APP_IDS_H
#define APP_IDS_H

#define IDD_MAIN 103
#define IDD_ABOUT 104

/* winuser.h gives this name to the help cursor; here it is the Help button. */
#undef IDC_HELP
#define IDC_HELP 1024
#define IDC_CLOSE 108
#define IDC_ABOUT_OK 101
/* Labels, frames and icons: never addressed. */
#define IDC_LABEL -1

#define IDM_HELP 1024
#define IDM_ABOUT 1280

#endif
