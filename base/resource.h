// Resource identifiers. Shared by the resource scripts and the code; the
// numbers are fixed because the operation codes are the button identifiers.
#pragma once

#define IDI_CORVANE 107

// Labels, group boxes and lines that the code never addresses.
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// Dialog templates
#define IDD_MAIN 129
#define IDD_PAGE_CAPTURE 130
#define IDD_PAGE_APPLY 131
#define IDD_PROGRESS 132
#define IDD_PAGE_ABOUT 133
#define IDD_PAGE_INFO 134
#define IDD_PAGE_CHANGE 135
#define IDD_PAGE_MOUNT 136
#define IDD_PAGE_DELETE 137
#define IDD_PAGE_EXPORT 138
#define IDD_PICKER 139
#define IDD_PAGE_SPLIT 239

// Main window
#define IDC_TABS 1001

// Capture page
#define IDC_CAPTURE_SOURCE 1002
#define IDC_CAPTURE_DESCRIPTION 1003
#define IDC_CAPTURE_DESTINATION 1004
#define IDC_CAPTURE_NAME 1005
#define IDC_CAPTURE_COMPRESSION 1006
#define IDC_CAPTURE_BROWSE_SOURCE 1007
#define IDC_CAPTURE_BROWSE_DESTINATION 1008
#define IDC_CAPTURE_BOOT 1009
#define IDC_CAPTURE_TEMPDIR 1010
#define IDC_CAPTURE_CONFIG 1011
#define IDC_CAPTURE_BROWSE_TEMPDIR 1012
#define IDC_CAPTURE_BROWSE_CONFIG 1013
#define IDC_CAPTURE_FLAGS 1016
#define IDC_CAPTURE_VERIFY 1018
#define IDC_CAPTURE_NEW 1019
#define IDC_CAPTURE_APPEND 1020
#define IDC_CAPTURE_CHECK 1021
#define IDC_CAPTURE_SHOW_SETTINGS 1022
#define IDC_CAPTURE_DISPLAYNAME 1092
#define IDC_CAPTURE_DISPLAYDESCRIPTION 1093
#define IDC_CAPTURE_NORPFIX 1096

// Apply page
#define IDC_APPLY_SOURCE 1021
#define IDC_APPLY_DESTINATION 1022
#define IDC_APPLY_BROWSE_SOURCE 1023
#define IDC_APPLY_BROWSE_DESTINATION 1024
#define IDC_APPLY_RUN 1025
#define IDC_APPLY_CHECK 1026
#define IDC_APPLY_INDEX_EDIT 1027
#define IDC_APPLY_VERIFY 1028
#define IDC_APPLY_INDEX 1029
#define IDC_APPLY_SELECT 1087

// Info page
#define IDC_INFO_SOURCE 1030
#define IDC_INFO_BROWSE_SOURCE 1031
#define IDC_INFO_READ 1032
#define IDC_INFO_TEXT 1033

// Change page
#define IDC_CHANGE_SOURCE 1040
#define IDC_CHANGE_BROWSE_SOURCE 1042
#define IDC_CHANGE_INDEX_EDIT 1043
#define IDC_CHANGE_INDEX 1044
#define IDC_CHANGE_CHECK 1045
#define IDC_CHANGE_RUN 1046
#define IDC_CHANGE_FLAGS 1047
#define IDC_CHANGE_NAME 1048
#define IDC_CHANGE_DESCRIPTION 1049
#define IDC_CHANGE_BOOT 1050
#define IDC_CHANGE_SELECT 1051
#define IDC_CHANGE_DISPLAYNAME 1094
#define IDC_CHANGE_DISPLAYDESCRIPTION 1095

// Mount page
#define IDC_MOUNT_SOURCE 1054
#define IDC_MOUNT_PATH 1055
#define IDC_MOUNT_BROWSE_SOURCE 1056
#define IDC_MOUNT_BROWSE_PATH 1057
#define IDC_MOUNT_INDEX_EDIT 1058
#define IDC_MOUNT_INDEX 1059
#define IDC_MOUNT_RUN 1060
#define IDC_UNMOUNT_RUN 1061
#define IDC_MOUNT_READWRITE 1062
#define IDC_UNMOUNT_COMMIT 1063
#define IDC_MOUNT_REFRESH 1064
#define IDC_MOUNT_CHECK 1065
#define IDC_MOUNT_LIST 1066
#define IDC_MOUNT_SELECT 1088
#define IDC_UNMOUNT_CHECK 1097

// Delete page
#define IDC_DELETE_RUN 1067
#define IDC_DELETE_CHECK 1068
#define IDC_DELETE_INDEX_EDIT 1069
#define IDC_DELETE_INDEX 1070
#define IDC_DELETE_SOURCE 1071
#define IDC_DELETE_BROWSE_SOURCE 1072
#define IDC_DELETE_SELECT 1089

// Export page
#define IDC_EXPORT_SOURCE 1073
#define IDC_EXPORT_DESTINATION 1074
#define IDC_EXPORT_BROWSE_SOURCE 1075
#define IDC_EXPORT_BROWSE_DESTINATION 1076
#define IDC_EXPORT_INDEX_EDIT 1077
#define IDC_EXPORT_INDEX 1078
#define IDC_EXPORT_CHECK 1080
#define IDC_EXPORT_RUN 1081
#define IDC_EXPORT_COMPRESSION 1082
#define IDC_EXPORT_ALL_IMAGES 1083
#define IDC_EXPORT_SELECT 1090

// Split page
#define IDC_SPLIT_SOURCE 1098
#define IDC_SPLIT_DESTINATION 1099
#define IDC_SPLIT_CHECK 1102
#define IDC_SPLIT_BROWSE_SOURCE 1103
#define IDC_SPLIT_BROWSE_DESTINATION 1104
#define IDC_SPLIT_RUN 1105
#define IDC_SPLIT_SIZE 1107

// Progress window
#define IDC_PROGRESS_BUTTON 2
#define IDC_PROGRESS_BAR 1010
#define IDC_PROGRESS_LOG 1012
#define IDC_PROGRESS_STATUS 1014
#define IDC_PROGRESS_PERCENT 1015
#define IDC_PROGRESS_COUNTER 1017

// Image picker
#define IDC_PICKER_LIST 1085
#define IDC_PICKER_SELECT 1086

// String table entries the code refers to by name.
#define IDS_CHOOSE_FOLDER 133
#define IDS_SAVE_AS 134
#define IDS_OPEN 135
#define IDS_ABORTING 136
#define IDS_ABORTING_OPERATION 137
#define IDS_COMPRESSION_NONE 138
#define IDS_COMPRESSION_XPRESS 139
#define IDS_COMPRESSION_LZX 140
#define IDS_CALCULATING 141
#define IDS_ABORT 147
#define IDS_CLOSE 148
#define IDS_COMPRESSION_LZMS 243
#define IDS_SPLIT_SIZE_CD 251
#define IDS_SPLIT_SIZE_FAT32 252
// Beyond the original table: the reason given when another image of the
// file already has the name asked for.
#define IDS_NAME_TAKEN 270
// The reason given when one part of a split set is used as a whole file.
#define IDS_SPLIT_PART 271
// The reason given when the folder to apply into does not exist.
#define IDS_FOLDER_MISSING 272
// The failure line and reason of an operation ended by a fault inside it.
#define IDS_OPERATION_FAULT 273
#define IDS_FAULT_REASON 274
// Exporting every image of a file at once
#define IDS_EXPORT_ALL_IMAGES_LINE 275
#define IDS_EXPORTED_IMAGES 276
#define IDS_EXPORTED_IMAGES_TIMED 277
// A temporary file of an earlier, killed write that a write removed
#define IDS_LEFTOVER_REMOVED 278
// An existing destination written with its own compression, not the page's
#define IDS_KEPT_COMPRESSION 279
// An export of every image that failed and left the destination as it was
#define IDS_NO_IMAGE_EXPORTED 280
