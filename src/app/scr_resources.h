// Resource numbers of sorvel2.scr, shared by its resource script
// (scr_resources.rc.in, read by windres: preprocessor definitions only) and
// its code.
#pragma once

// The name Windows lists the saver under (string 1 of a .scr, by convention).
#define SCR_IDS_DESCRIPTION 1

// The settings dialog and its controls.
#define SCR_IDD_SETTINGS 100
#define SCR_IDC_BALLS 101
#define SCR_IDC_BALLS_LIMITS 102
#define SCR_IDC_GRID 103
#define SCR_IDC_GRID_LIMITS 104

// The two textures, the demo's BMP files byte for byte (RCDATA).
#define SCR_IDR_REFLECT 200
#define SCR_IDR_BACKGROUND 201
