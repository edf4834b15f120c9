/* Resource and control ids of the notice dialog, the busy cursor and the icon. */
#ifndef UI_IDS_H
#define UI_IDS_H

#define IDI_APP 1

#define IDD_NOTICE 1001
#define IDC_NOTICE_OK 101
#define IDC_NOTICE_TEXT 19128
#define IDC_NOTICE_STATIC -1 /* frame and icon: never addressed */

#define IDC_BUSY_FIRST 12743 /* twelve frames, 12743 to 12754 */
#define IDC_BUSY_LAST 12754
#define BUSY_FRAME_COUNT 12

#endif
