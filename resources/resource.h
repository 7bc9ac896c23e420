// Resource and control identifiers of the module.
#pragma once

// Registration
#define IDR_REGISTRY 3002 // resource type "REGISTRY"
#define IDR_TYPELIB 1     // resource type "TYPELIB"

// Pictures
#define IDC_PV_HAND 3000   // cursor: pointing hand, hot spot (6, 2)
#define IDI_PV_HOT 3002    // icon group: toolbar button, hot state
#define IDI_PV_NORMAL 3003 // icon group: toolbar button, normal state
#define IDB_PV_BANNER 3003 // bitmap: banner, 495 x 40, 256 colours

// Dialog templates
#define IDD_PV_GENERAL 101
#define IDD_PV_SETTINGS 3003
#define IDD_PV_LISTS 3004
#define IDD_PV_SCHEDULE 3005
#define IDD_PV_PASSWORD_PROMPT 3006
#define IDD_PV_PASSWORD_CHANGE 3007

// Settings frame (3003)
#define IDC_PV_TAB 3001
#define IDC_PV_HELP 3003

// Lists page (3004)
#define IDC_PV_LIST_TAB 3008
#define IDC_PV_LIST 3009
#define IDC_PV_LIST_EDIT 3010
#define IDC_PV_LIST_ADD 3011
#define IDC_PV_LIST_REMOVE 3012

// General page (101)
#define IDC_PV_VERSION 3014
#define IDC_PV_NOTICE 3015
#define IDC_PV_LINK_SITE 3016
#define IDC_PV_LINK_MAIL 3017
#define IDC_PV_LOGIN 3018
#define IDC_PV_PASSWORD 3019
#define IDC_PV_LOGIN_LABEL 3020
#define IDC_PV_PASSWORD_LABEL 3021
#define IDC_PV_LINK_DOWNLOAD 3036
#define IDC_PV_SETTINGS_PASSWORD 3064 // button: set or change the settings password

// Settings password prompt (3006) and change dialog (3007)
#define IDC_PV_PROMPT_PASSWORD 3060
#define IDC_PV_CURRENT_PASSWORD 3061
#define IDC_PV_NEW_PASSWORD 3062
#define IDC_PV_CONFIRM_PASSWORD 3063

// Schedule page (3005)
#define IDC_PV_FROM_MON 3023
#define IDC_PV_TO_MON 3024
#define IDC_PV_TUESDAY 3026
#define IDC_PV_WEDNESDAY 3027
#define IDC_PV_THURSDAY 3028
#define IDC_PV_FRIDAY 3029
#define IDC_PV_SATURDAY 3030
#define IDC_PV_SUNDAY 3031
#define IDC_PV_COMMON_TIME 3032
#define IDC_PV_MONDAY 3033
#define IDC_PV_TIME_LIMIT 3034
#define IDC_PV_FROM_TUE 3047
#define IDC_PV_TO_TUE 3048
#define IDC_PV_FROM_WED 3049
#define IDC_PV_TO_WED 3050
#define IDC_PV_FROM_THU 3051
#define IDC_PV_TO_THU 3052
#define IDC_PV_FROM_FRI 3053
#define IDC_PV_TO_FRI 3054
#define IDC_PV_FROM_SAT 3055
#define IDC_PV_TO_SAT 3056
#define IDC_PV_FROM_SUN 3057
#define IDC_PV_TO_SUN 3058
