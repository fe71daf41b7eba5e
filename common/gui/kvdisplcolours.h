// Box colours of the packet rows: text (FG_) and fill (BG_) pairs, 0x00BBGGRR.
#pragma once

#include "kvcolours.h"

// Lower line of every two-line box except the reset and left boxes.
inline constexpr unsigned long FG_BOT = BLACK;
inline constexpr unsigned long BG_BOT = WHITE;
// Left boxes: packet and SOF group rows, transactions, control transfers.
inline constexpr unsigned long FG_PACKET = BLACK;
inline constexpr unsigned long BG_PACKET = AZURE;
inline constexpr unsigned long FG_TRANSACTION = BLACK;
inline constexpr unsigned long BG_TRANSACTION = LIGHTGREEN;
inline constexpr unsigned long FG_TRANSFER = WHITE;
inline constexpr unsigned long BG_TRANSFER = GREEN;
// Both lines of the reset box.
inline constexpr unsigned long FG_RESET = WHITE;
inline constexpr unsigned long BG_RESET = PURPLE;
// The SOF count box.
inline constexpr unsigned long FG_SOFGROUP = WHITE;
inline constexpr unsigned long BG_SOFGROUP = DIMGRAY;
// Packet fields.
inline constexpr unsigned long FG_IDLE = BLACK;
inline constexpr unsigned long BG_IDLE = LIGHTBLUE;
inline constexpr unsigned long FG_FRAME = WHITE;
inline constexpr unsigned long BG_FRAME = PURPLE;
inline constexpr unsigned long FG_ADDR = WHITE;
inline constexpr unsigned long BG_ADDR = BLACK;
inline constexpr unsigned long FG_ENDP = BLACK;
inline constexpr unsigned long BG_ENDP = LIGHTGREEN;
inline constexpr unsigned long FG_DATA_TOG = WHITE;
inline constexpr unsigned long BG_DATA_TOG = PURPLE;
inline constexpr unsigned long FG_DATA = WHITE;
inline constexpr unsigned long BG_DATA = RED;
inline constexpr unsigned long FG_CRC_OK = WHITE;
inline constexpr unsigned long BG_CRC_OK = LIGHTSLATEGRAY;
inline constexpr unsigned long FG_CRC_FAIL = RED;
inline constexpr unsigned long BG_CRC_FAIL = WHITE;
// Fields of a SETUP data packet.
inline constexpr unsigned long FG_DIR = BLACK;
inline constexpr unsigned long BG_DIR = LIGHTSTEELBLUE;
inline constexpr unsigned long FG_TYP = BLACK;
inline constexpr unsigned long BG_TYP = PINK;
inline constexpr unsigned long FG_RCP = BLACK;
inline constexpr unsigned long BG_RCP = LIGHTGREEN;
inline constexpr unsigned long FG_REQ = BLACK;
inline constexpr unsigned long BG_REQ = MEDIUMAQUAMARINE;
inline constexpr unsigned long FG_VAL = BLACK;
inline constexpr unsigned long BG_VAL = YELLOW;
inline constexpr unsigned long FG_IDX = BLACK;
inline constexpr unsigned long BG_IDX = LIGHTBLUE;
inline constexpr unsigned long FG_LEN = BLACK;
inline constexpr unsigned long BG_LEN = LIGHTGREEN;
// Outcome of a control transfer.
inline constexpr unsigned long FG_SUCCESS = BLACK;
inline constexpr unsigned long BG_SUCCESS = YELLOW;
