// Resource identifiers shared by the resource script and the code that loads the resources.
#pragma once

#define IDD_LOG 101
#define IDC_LOG_TEXT 1001
