#pragma once
// The TLS layer's place in the socket class chain: TCustomSslWSocket sits
// on the SOCKS layer and, while TLS is off, passes every operation straight
// to it.  The layers above are written against this class.
#include "net/socket/ssllayer.h"
