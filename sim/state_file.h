// The state file of the simulated instrument (InstrumentOptions::stateFile): what a controller
// board that stays powered keeps between the programs that talk to it.
//
// Text, one record a line ("\n"), fields separated by one space; numbers in decimal unless noted,
// real numbers as the shortest text that reads back to the same double:
//
//   zyl-sim-state 1                    first line: the mark of the file and its format version
//   saved-at MS                        wall-clock time of writing, ms since 1970-01-01 UTC
//   pump RUN STANDBY SPEED PRESSURE    switches 0/1, rotor speed in Hz, pressure in mbar
//   heater I ON SETPOINT TEMPERATURE   I 0 capillary, 1 desolvation gas, 2 APCI gas; degrees
//   outputs LINES                      the 64 output lines as last sent, 16 hex digits
//   inputs BITS                        the 16 digital inputs, 4 hex digits
//   adc V0 ... V31                     the 32 ADC readings, 4 hex digits each
//   analog-input N SETTING             one per input given a setting
//   analog-output CH MODE VALUE        one per output set (CH as sent, from 1)
//   i2c B0 B1 B2                       the last bytes on the I2C bus, 2 hex digits each
//   dac CH RAMPED START END            CH 0 to 15, codes as signed numbers
//   dac-range START END                the scan range, 0 to 65535
//   serial CH SETTING                  one per serial port set up
//   gauge UNIT BAUD                    the Pirani gauge's unit (mbar, torr, pascal) and baud rate
//   gauge-select internal|external     once a gauge was selected
//   frequency-factor FACTOR            once a factor was given, 8 hex digits
//   flash-select R                     the flash region selected
//   flash R N                          followed by N bytes of region R and "\n": the region up to
//                                      its last non-zero byte (the rest of it is zero)
//   end                                last line: a file without it was cut short
//
// Between the first two lines and "end" records may come in any order; a record that is missing
// leaves what a new instrument has. A record this format does not have, or one whose fields do
// not read, makes the file damaged: it is refused, like a file of a newer format.
#pragma once

#include <string>

#include <zyl/sim/Firmware.h>

namespace zyl::sim {

// Reads the options' state file into a new instrument's firmware state and lets its physics run
// for the time since the file was written; an absent or empty file leaves the new instrument as
// it is. Throws StateFileError for a file that must not be used or overwritten.
void loadStateFile(FirmwareContext& f);
// Writes the whole state to the options' state file, beside it first and then renamed over it;
// "" when written (or when there is none), else why not.
std::string saveStateFile(FirmwareContext& f);

}  // namespace zyl::sim
