// The Convert command of the main window.
#pragma once

void convert_command();
