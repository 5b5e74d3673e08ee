#pragma once
// What the two halves of SerialPort provide to the shared part (SerialPort.cpp).
#include <QString>

// The device of port number n (a valid one, kFirstComPort … kLastComPort): see
// SerialPort::devicePath.
QString ComPortDevice(int n);
