// The values of the two bridge choices the Options menu makes, as g_nSource and g_nDebugDir
// hold them. The numbers are the handset's and are kept: its menu ids and state words used them.
#pragma once

// Which port is the bridge's side B (g_nSource).
enum BridgeSource : int {
  SOURCE_BTUART = 1,  // the registry-named Bluetooth UART
  SOURCE_RAW_IR = 2,  // the raw infrared port
  SOURCE_IRDA = 3,    // the IrDA port
};

// Which pump directions write their traffic lines to the pane (g_nDebugDir).
enum DebugDirection : int {
  DEBUG_NONE = 0,
  DEBUG_BT_TO_FF = 1,
  DEBUG_FF_TO_BT = 2,
  DEBUG_BOTH = 3,
};
