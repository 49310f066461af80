// zyl: host library of the zyl USB mass spectrometer.
//
// One `ZylInterface` object drives one instrument: it opens the instrument's FX2 USB device on
// first use, speaks the instrument's "-1B" command protocol over its bulk pipes, keeps the
// communication state, the status readings, the DAC table, the digital outputs and the
// configuration records, and writes the debug log. This is the one header a host includes.
//
// Conventions every operation keeps:
//  - results are unsigned status codes (below); nothing is ever thrown to the host;
//  - the host calls one operation at a time per instrument object; the only thread the library
//    starts is the status thread of V3 firmware;
//  - every buffer (command copy, drain, scan reply, flash transfer, Modbus) belongs to the
//    instrument object, so two instruments can be driven from two threads at once;
//  - inputs whose effect the protocol leaves open are refused with `ZYL_INVALID_ARGUMENT` and
//    touch nothing: a command longer than 1023 characters, a data reply buffer of no capacity.
//
// Decisions where the protocol leaves the behaviour to us:
//  - `InitializeSettings` called before the firmware version was read first sends "-1B05"; when
//    that succeeds it stores the version and returns `CommNotConnected` at once (call it again to
//    initialise), when it fails it goes on with the configuration read.
//  - Debug messages longer than 1023 characters are cut to 1023; a debug directory whose log path
//    does not fit 1023 characters disables the log, as an unopenable file does.
//  - Replies are logged through "%s" (never used as a format) and cut like any other message.
//  - The process clock counts wall-clock milliseconds since the library was loaded; the
//    millisecond clock of `GetTimeMS` is the monotonic clock.
//  - The environment variable ZYL_BACKEND=sim makes every instrument object talk to the built-in
//    simulated instrument (see zyl/UsbBackend.h and zyl/sim/).
//  - An instrument object keeps the USB back end that was current when it was constructed
//    (zyl::usb::useBackend); all its pipes open through that back end, and the debug log names it
//    whenever the command pipe opens ("Instrument opened through the libusb back end"). Back-end
//    diagnostics (libusb errors) of the command and scan pipes go to the debug log too.
//  - The status thread retries a failed status-pipe read at once (the endpoint's 500 ms time-out
//    paces a silent instrument); only when it has no device to read (none opens, it has no status
//    endpoint, or it was unplugged: the pipe is opened afresh when the stream is next enabled) does
//    it wait 100 ms before trying again.
//  - A transfer that meets a stalled endpoint fails, and the device layer then clears the
//    endpoint's halt, so the next transfer on that pipe goes through (nothing else would clear it:
//    a stalled command pipe could never be reopened, a stalled status pipe would keep the status
//    thread spinning).
//  - A device with the instrument's USB IDs whose interface 0 has a bulk OUT and at least one bulk
//    IN endpoint is an instrument; without a second or third bulk IN endpoint only the status or
//    scan pipe is unavailable (its operations return 2).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "zyl/UsbBackend.h"
#include "zyl/limits.h"

class CCyUSBDevice;
class CCyBulkEndPoint;
namespace FlashMemory {
class c_flashMemory;
}
namespace VolatileFlashMemory {
class c_volatileFlashMemory;
}

// Status codes of the library's operations.
inline constexpr unsigned int ZYL_SUCCESS = 0;
inline constexpr unsigned int ZYL_NO_DEVICE = 1;         // no instrument could be opened
inline constexpr unsigned int ZYL_COMM_FAILURE = 2;      // not connected, time-out, transfer failed
inline constexpr unsigned int ZYL_NOT_ACKNOWLEDGED = 3;  // the answer was not "ACK"
inline constexpr unsigned int ZYL_INVALID_ARGUMENT = 4;  // refused before anything was sent
inline constexpr unsigned int ZYL_HEATER_INTERLOCK = 33;      // refused by the heater interlock
inline constexpr unsigned int ZYL_START_NOT_BELOW_END = 128;  // a scan's start is not below its end

// How far the link has come; operations that talk to the instrument treat CommConnected and
// CommInitialized alike.
enum CommunicationState : int32_t {
  CommNotConnected = 0,  // no device open, or the last command write failed
  CommNoResponse = 1,    // a command went out but no reply has been read since
  CommConnected = 2,     // the instrument answers
  CommInitialized = 3,   // it answers and InitializeSettings has completed
};

// Instrument model, settled at connection (GetHardwareType); GetHardwareTypeName names it.
enum VexaHardwareType : int32_t {
  ZentraVexa = 0,
  ZentraSVexa = 1,
  ZentraLVexa = 2,
  ZentraVexaOEM = 3,
  ZentraSVexaOEM = 4,
  ZentraLVexaOEM = 5,
  ZentraCVexa = 6,
};

// Identity types of the configuration. Each value's stored text (what the configuration document
// holds) is its display text, except for RfBoxType (see GetRfBoxTypeName).
enum PiraniType : int32_t {
  Pirani_External = 0,  // "External"
  Pirani_Internal = 1,  // "Internal"
};

enum RfBoxType : int32_t {
  RfBox_Original = 0,          // stored "Original", shown "FPGA Adjustable"
  RfBox_Adjustable = 1,        // stored "Adjustable", shown "Coil Adjustable"
  RfBox_Si5351Adjustable = 2,  // "Si5351 Adjustable"
};

enum SourceHousingType : int32_t {
  Housing_Unknown = 0,
  Housing_Generation1 = 1,  // "Generation 1"
  Housing_Generation2 = 2,  // "Generation 2"
};

enum HeaterControllerType : int32_t {
  HC_Unknown = 0,
  HC_WatlowPM3 = 1,            // "Watlow PM3 Series"
  HC_DigitalBoardBuiltIn = 2,  // "Digital Board Built-In"
};

enum PowerSupplyType : int32_t {
  PSU_Unknown = 0,
  PSU_AppliedSC005RCD025 = 1,  // "Applied SC005RCD025"
  PSU_AppliedMS009MZZ652 = 2,  // "Applied MS009MZZ652"
  PSU_SpellmanMXP10PN15 = 3,   // "Spellman MXP10PN/15"
  PSU_SpellmanMX8PN24720 = 4,  // "Spellman MX8PN24/720"
  PSU_SensTechPS10 = 5,        // "Sens-Tech PS10"
};

enum HeadAmpType : int32_t {
  HeadAmp_Unknown = 0,
  HeadAmp_Slow = 1,  // "Slow Amp"
  HeadAmp_Fast = 2,  // "Fast Amp"
};

enum DacChannelKind : uint16_t {
  Ramped = 1,  // the value moves with the scan position
  Fixed = 2,   // the value is constant
};

// One of the 16 DAC channels of the scan (see SetScanParams and SetDACParam).
struct DacChannel {
  uint16_t kind = Fixed;
  int16_t base = 0;       // ramped: value at scan position 0; fixed: the value
  int16_t span = 0;       // ramped: change from position 0 to 65535
  int16_t startCode = 0;  // computed for the current scan
  int16_t endCode = 0;    // (start and end code alike)
};

// Host callbacks. Debug: per instrument object, called on the calling thread after each line
// written to the debug log (GetDebugString fetches it). Progress: per instrument object, called
// during UpdateFirmware with the bytes sent so far. Status: process-wide (SetStatusCallback).
typedef void (*ZylDebugCallback)(void);
typedef void (*ZylProgressCallback)(int);
typedef void (*ZylStatusCallback)(void);

struct ZylTestPeer;  // gives the tests access to the private helpers

class ZylInterface {
 public:
  // Opens the debug log DIR/ZylDebug.out (appending) when `debugDirectory` is given, asks for the
  // firmware version and, when the instrument answers, runs InitializeSettings. Never fails for
  // want of an instrument: the object then stays CommNotConnected (see TestConnection).
  explicit ZylInterface(const char* debugDirectory = nullptr);
  // Stops the status thread (waiting for it), closes the pipes and the log.
  ~ZylInterface();
  ZylInterface(const ZylInterface&) = delete;
  ZylInterface& operator=(const ZylInterface&) = delete;

  // ---- Connection, state, debug log -------------------------------------------------------
  // The state as the last exchange left it; sends nothing.
  CommunicationState GetCommunicationState();
  // Asks for the firmware version ("-1B05") again and returns the state that leaves:
  // CommConnected (or CommInitialized) when the instrument answered. Poll it until an instrument
  // appears, then call InitializeSettings.
  CommunicationState TestConnection();
  // The connection-time set-up: firmware flags and configuration from flash, the model, on older
  // firmware one status read, then the digital outputs. CommInitialized when done; CommNotConnected
  // when the configuration could not be read; the unchanged state when a later step failed.
  CommunicationState InitializeSettings();
  // Callbacks of this instrument object (null removes one); see the typedefs above.
  void SetDebugCallback(ZylDebugCallback callback);
  void SetProgressCallback(ZylProgressCallback callback);
  // The last debug message with its terminator; `out` holds at least 1024 bytes.
  void GetDebugString(char* out);
  // The text of the last V3 status frame (at most 1024 bytes with its terminator) while the status
  // thread runs; otherwise `out` is left untouched. Safe beside the status thread.
  void GetStatusString(char* out);
  // 1 on V3 firmware (its version ends in "-V3": status and scan data are streamed), else 0; the
  // two always agree. Known once connected.
  unsigned char IsV3();
  unsigned char readsDataInParallel();

  // ---- Command channel and pipes ----------------------------------------------------------
  // One command exchange: writes `command` on the command pipe, then reads a data reply into
  // `reply` (capacity in `length`, bytes received out; a NUL follows a reply that leaves room) or,
  // with a null `reply`, expects "ACK" (`length` untouched). 0, 2 (not sent, or no reply in time)
  // or 3 (not "ACK"); 4 for a null command, one over 1023 characters, or a capacity below 1. `log`
  // writes command and reply to the debug log. The first use opens and flushes the device.
  unsigned int ZylUSBExecuteCommand(const char* command, unsigned char* reply, long& length,
                                    bool log, unsigned long sendTimeoutMs,
                                    unsigned long receiveTimeoutMs);
  // One write on the command pipe, opening it first when needed. 0; 1 no instrument could be
  // opened; 2 it did not answer the flush or the write failed (the device is closed, the state goes
  // to CommNotConnected, and the next write reopens it).
  unsigned int ZylUSBSendData(unsigned char* data, long& length, unsigned long timeoutMs);
  // One read from the command pipe into `buffer` (capacity in `length`, bytes received out). 0, or
  // 2 when the pipe is not open or nothing came in `timeoutMs`.
  unsigned int ZylUSBGetData(unsigned char* buffer, long& length, unsigned long timeoutMs);
  // Flushes the freshly opened command pipe: up to 10 tries of a version query whose answer is
  // drained. 0 (also without a device), or 2 when the instrument never answered.
  unsigned int ZylUSBPreRead();
  // Vendor requests to the FX2: 4 empties its endpoint buffers, 5 makes it disconnect and
  // enumerate again (handles opened before do not survive it). 0, or 2 without an open command pipe
  // or when the request fails.
  unsigned int ClearFX2Buffers();
  unsigned int RenumFX2();
  // The status pipe (second bulk IN endpoint, V3): opened on first use; clearing drains what is
  // queued; GetStatusData reads one frame (500 ms time-out). 0, or 2 when the pipe has no device or
  // endpoint or the read fails. While status reporting is on, the status thread owns this pipe.
  unsigned int ensureStatusPipeAvailable();
  unsigned int clearStatusPipe();
  unsigned int ZylUSBGetStatusData(unsigned char* buffer, long& length);
  // The scan pipe (third bulk IN endpoint, V3): opened on first use, drained by clearScanPipe; one
  // ZylUSBGetScanData reads one transfer of up to `length` bytes, waiting `timeoutMs` + 500 ms. 0,
  // or 2 when the pipe is unavailable or the read fails. The data are not interpreted.
  unsigned int ensureScanPipeAvailable();
  unsigned int clearScanPipe();
  unsigned int ZylUSBGetScanData(unsigned char* buffer, long& length, int timeoutMs);

  // ---- Status -------------------------------------------------------------------------------
  // Older firmware: the getters refresh the record with "-1B3000" when it is older than
  // statusMaxAgeMs. V3 firmware: EnableStatusReporting starts the status thread, which keeps the
  // record current from the status pipe and calls the process-wide status callback per frame.

  // Older firmware: ForceStatusUpdate when the record is older than statusMaxAgeMs, else 0. V3: 0.
  unsigned int UpdateStatusIfNeeded();
  // Older firmware: reads the status now ("-1B3000") into the record; 0, or the command's status
  // (the record is then unchanged, and the next refresh waits statusMaxAgeMs). V3: 0, nothing sent.
  unsigned int ForceStatusUpdate();
  // Applies the serial-device text of a "-1B3000" reply (pressure, pump speed and state, heater
  // readbacks) to the record; may change `text` in place.
  void ParseSerialData(char* text);
  // V3 firmware: true empties the status pipe, asks for the stream ("-1B3101") and starts the
  // status thread; false asks the instrument to stop ("-1B3100") and waits until the thread has
  // ended. On older firmware only stops a thread that runs. Not from the status callback.
  void EnableStatusReporting(bool enable);
  // One callback for the whole process, called on the status thread after every frame of any
  // instrument object; null removes it. It may read the status record (getters that do not send,
  // GetStatusString) but must not send commands: the host's thread may be in an exchange.
  void SetStatusCallback(ZylStatusCallback callback);

  // ---- Scanning -------------------------------------------------------------------------------
  // DAC channel numbers above 15 are refused with ZYL_INVALID_ARGUMENT and touch nothing. Scan
  // data go into a movable block of zyl/platform.h; see scan/scan.cpp for the choices made where
  // a reply or a block does not fit.

  // The DAC table, kept in memory: a setter marks the DACs for sending before the next scan, a
  // getter writes through whichever pointer is not null; nothing is sent. SetDACParam makes a
  // channel constant (span 0). 0, or 4 for a channel above 15.
  unsigned int SetScanParams(unsigned char channel, short base, short span);
  unsigned int GetScanParams(unsigned char channel, short* base, short* span);
  unsigned int SetDACParam(unsigned char channel, short value);
  unsigned int GetDACParam(unsigned char channel, short* value);
  // Sends the codes last computed for each channel (one command per channel), the scan range and
  // then the digital outputs. 0, or the status of the first command that failed.
  unsigned int DACSetup(unsigned short start, unsigned short end);
  // Older firmware: one scan from `start` to `end` (positions 0-65535) in `scanTimeMs`, sending the
  // DACs first when they changed; waits for the data (up to 2 x scan time + 1 s), copies the reply
  // (points with bit 31 restored, then the status trailer) into the locked block `dataHandle` and
  // the point count into *pointCount, and applies the trailer to the status record. 0; 128 when
  // `start` is not below `end`; 4 for a scan time above 14,784,957 ms or a block that is not one or
  // is too small; else the command's status.
  unsigned int PerformScan(unsigned short start, unsigned short end, unsigned int scanTimeMs,
                           void* dataHandle, unsigned short tailWord, unsigned int* pointCount);
  // V3 firmware: sends every channel's DAC code, then queues one scan (mode 0B, or 04 with
  // `normalPolarity` false) and returns at once; read its data with ZylUSBGetScanData after
  // initializeScanReading. 0 (the queue command's own status is not reported), 128 or 4 as above.
  unsigned int PerformScanHS(unsigned short leadWord, unsigned short start, unsigned short end,
                             unsigned int scanTimeMs, unsigned short tailWord, bool normalPolarity);
  // V3: discards queued scans ("-1B9F"); the command's status. Older firmware: 0, nothing sent.
  unsigned int ClearScanQueue();
  // Empties the scan pipe before a V3 scan; 0, or 2 when the scan pipe cannot be opened.
  unsigned int initializeScanReading();
  // Older firmware: a short throw-away scan (100 to 200, 10 ms) that sends changed DACs and
  // refreshes the status record. V3: nothing.
  void FlushTuneParameters();

  // ---- Configuration --------------------------------------------------------------------------
  // Flash regions of 65,536 bytes travel whole between the instrument and an image. A streaming
  // status thread is stopped for the transfer and started again afterwards. Region numbers are
  // sent as two decimal digits where the firmware selects regions: there, numbers outside 0 to
  // 99 are refused with 4; older firmware has one region and ignores the number.
  // ReadFlash: a null destination transfers and discards; a failed read leaves the destination as
  // it was; a region shorter than 65,536 bytes reads as its bytes followed by zero bytes.

  // One whole region between flash and the 65,536-byte image at `destination` / `source`. 0, 2
  // (transfer failed), 3 (not acknowledged) or 4 (region outside 0-99, null source).
  unsigned int ReadFlash(unsigned char* destination, int region);
  unsigned int WriteFlash(unsigned char* source, int region);

  // The configuration (region 0) and volatile (region 1) documents. The accessors work on the
  // records in memory; nothing reaches flash until a Save. Choices made here:
  //  - a configuration text of 65,536 bytes or more is not saved: SaveToConfigFlash returns 1 and
  //    leaves image and flash as they were; a volatile text over 512 bytes is cut at 512;
  //  - frequency and massPot texts are read as their leading hex digits; a text with none gives
  //    the initial value (0x15000, 0x7F);
  //  - setters and name accessors given a value outside their type return 4 (setters, touching
  //    nothing) or an empty text.

  // Connection-time load (InitializeSettings calls it): the firmware flags from the version text,
  // then both documents. 0, or the status of the step that failed.
  unsigned int readFlashMemorySettings();
  // Load fills a record from its region (the configuration one from the image already read once
  // settings are loaded; it then sends the frequency factor and the gauge selection); a document
  // that does not parse leaves initial values. Save writes the record back (the volatile one only
  // where the firmware has a second region, else 0). 0, 1 (see above), or the failed step's status.
  unsigned int LoadFromConfigFlash();
  unsigned int LoadFromVolatileFlash();
  unsigned int SaveToConfigFlash();
  unsigned int SaveToVolatileFlash();
  // The stored document text, one element per line, in *xml; false when reading flash fails (the
  // volatile one also without a second region). Changes not yet saved do not show.
  bool GetConfigFlashXML(std::string* xml);
  bool GetVolatileFlashXML(std::string* xml);

  // Typed identity accessors of the configuration record, in memory until a Save. Getters give the
  // value whose text the record holds (any case), 0 when none matches; setters store the value's
  // text (0, or 4 outside the type); Name functions give the display text, "" outside the type.
  PiraniType GetPiraniType();
  unsigned int SetPiraniType(PiraniType type);
  const wchar_t* GetPiraniTypeName(PiraniType type);
  RfBoxType GetRfBoxType();
  unsigned int SetRfBoxType(RfBoxType type);
  const wchar_t* GetRfBoxTypeName(RfBoxType type);  // the display text
  SourceHousingType GetHousingType();
  unsigned int SetHousingType(SourceHousingType type);
  const wchar_t* GetHousingTypeName(SourceHousingType type);
  HeaterControllerType GetCapillaryHC();
  unsigned int SetCapillaryHC(HeaterControllerType type);
  HeaterControllerType GetDesolvationGasHC();
  unsigned int SetDesolvationGasHC(HeaterControllerType type);
  HeaterControllerType GetAPCIGasHC();
  unsigned int SetAPCIGasHC(HeaterControllerType type);
  const wchar_t* GetHeaterControllerName(HeaterControllerType type);
  // The heater-controller kinds this firmware offers: 3 on V2 and V3 firmware, else 2.
  int GetNumHeaterTypes();
  PowerSupplyType GetSourcePSU();
  unsigned int SetSourcePSU(PowerSupplyType type);
  PowerSupplyType GetLensPSU();
  unsigned int SetLensPSU(PowerSupplyType type);
  PowerSupplyType GetDynodePSU();
  unsigned int SetDynodePSU(PowerSupplyType type);
  const wchar_t* GetPowerSupplyName(PowerSupplyType type);
  HeadAmpType GetHeadAmpType();
  unsigned int SetHeadAmpType(HeadAmpType type);
  const wchar_t* GetHeadAmpTypeName(HeadAmpType type);
  // The model's name ("zentra-S Vexa"), "" outside the type.
  const char* GetHardwareTypeName(VexaHardwareType type);
  // Texts point into the record: valid until the field changes or the record is reloaded.
  // Setters copy the text: 0, or 4 for a null one.
  const wchar_t* GetSerialNumber();
  unsigned int SetSerialNumber(const wchar_t* serialNumber);
  const char* GetQCData();
  unsigned int SetQCData(const char* qcData);  // raw XML content, not checked
  // The library stores the low 32 bits of what the host gives and never interprets it.
  int64_t GetLastPumpDownTime();
  unsigned int SetLastPumpDownTime(int64_t time);
  // Sends the factor to the instrument ("-1B22"); *readback gets the frequency it reports.
  unsigned int SetFreqFact(uint32_t factor, uint16_t* readback);
  // The stored frequency factor.
  uint32_t GetFreqFact();
  unsigned int SetMassPot(uint8_t value);  // stored only; nothing is sent
  // The stored mass potentiometer value.
  uint8_t GetMassPot();

  // ---- Default tune and ion-source settings ------------------------------------------------
  // Four slot positions per kind, chosen by `groupA` and `alternate`, in the image of flash
  // region 1. The setters and getters work on the image; LoadDefaultTuneIonSettings and
  // SaveDefaultTuneIonSettings move it. Tune text is stored twice per position: a simplified
  // form (one simple calibration, version "1.2", at most 4,096 bytes) and a full form (the mass
  // calibration, at most 10,240 bytes); ion-source text once (at most 1,024 bytes). Sizes count
  // UTF-8 bytes. Choices made here:
  //  - the roots are "tuneParameters" and "ionSourceOptimization", in whatever namespace; another
  //    root is refused like text that does not parse. The simple calibration is the root's
  //    "calibration" child, the mass calibration its "massCalibration" child with one
  //    "calibration" per scan speed, each a list of "segment" elements; the version is the
  //    root's "version" attribute. Everything else comes back as the host wrote it, except
  //    comments, processing instructions, the whitespace between elements and namespace
  //    prefixes (declared again where needed). Documents nested deeper than 256 levels and mixed
  //    content (text beside child elements) that uses namespace prefixes are refused.
  //  - `out` always ends up a zero-terminated string: a formatted text that does not fit
  //    (10,240, 4,096 or 1,024 bytes with its zero) is cut between two characters. A null `out`
  //    gives false.
  //  - FormatTuneXML and FormatIonXML return memory the host releases with free(), or null.

  // Stores a document (null or empty clears the position) in a slot of the image: 0, or 1 when it
  // is refused. Get formats the slot into `out` (10,240 bytes for tune, 1,024 for ion source):
  // false only when region 1 cannot be read; an empty slot gives "" and true.
  unsigned int SetDefaultTuneParameters(char* xml, bool groupA, bool alternate);
  bool GetDefaultTuneParameters(char* out, bool groupA, bool alternate);
  unsigned int SetDefaultIonSourceOptimization(char* xml, bool groupA, bool alternate);
  bool GetDefaultIonSourceOptimization(char* out, bool groupA, bool alternate);
  // The document formatted as stored slots are handed out; free() it. Null when it does not parse.
  char* FormatTuneXML(const char* xml);
  char* FormatIonXML(const char* xml);
  // Load reads region 1 into the image (0 without reading once settings are loaded); Save writes
  // the whole image, volatile document included. 1 when the firmware has no second region; else the
  // transfer's status.
  unsigned int LoadDefaultTuneIonSettings();
  unsigned int SaveDefaultTuneIonSettings();

 private:
  unsigned int LoadFromSecondFlash();
  unsigned int SaveToSecondFlash();
  // The stored and handed-out forms, in memory released with free(); null when the text does
  // not parse or cannot be written.
  char* simplifyTuneXML(const char* xml, bool full);
  char* simplifyIonXML(const char* xml);
  char* formatTuneXML(const char* xml);
  char* formatIonXML(const char* xml);
  // Formats a slot's document into `out` (at most `limit` bytes); false when the slot holds
  // none (does not begin with "<?xml"), true otherwise, even when it could not be formatted.
  bool readSlot(char* out, size_t limit, const unsigned char* slot, size_t size, bool ionSource);

 public:
  // ---- Digital and analog I/O ---------------------------------------------------------------
  // Channels beyond the tables (digital outputs 64 and above, inputs 16 and above, ADC channels
  // 32 and above) read 0; a digital output of 64 or more still sends the output word.

  // Sends the 64 digital outputs (their complement, "-1B21"). 0, 2 (not connected, or failed) or 3.
  unsigned int WriteDigitalOut();
  // 1 when the output is on in the stored word, else 0; nothing is sent.
  unsigned char GetDigOut(unsigned char channel);
  // Sets one output in the stored word and marks the DACs for sending; sends the word unless
  // `send` is 0 (then 0). Otherwise WriteDigitalOut's status.
  unsigned int SetDigOut(unsigned char channel, unsigned char on);
  unsigned int SetDigOut(unsigned char channel, unsigned char on, unsigned char send);
  // One digital input from the status record (refreshed on older firmware): 1 active, 0 inactive,
  // 2 when the refresh failed.
  unsigned char GetDigIn(unsigned char channel);
  // Bit `channel` of `inputs`; 0 beyond 15.
  unsigned char GetDigitalInput(unsigned short inputs, unsigned char channel);
  // 1 for channels 10 and 11, else 0.
  unsigned char IsPressureSensitiveChannel(unsigned char channel);
  // One ADC reading from the status record (refreshed on older firmware); 2 when the refresh
  // failed.
  unsigned short ReadADC(unsigned char channel);
  // Pass-through commands, each acknowledged: analog input setting ("-1B53"), analog output 0-8
  // ("-1B52", channel + 1 as one digit, mode 0-15), the three bytes of the I2C setter ("-1B54").
  // 0, 2 or 3.
  unsigned int ConfigureAnalogInput(int input, int setting);
  unsigned int SetAnalogOutput(int channel, unsigned short value, int mode);
  unsigned int SetI2C(unsigned char first, unsigned char second, unsigned char third);

  // ---- Heaters ---------------------------------------------------------------------------------
  // Capillary, desolvation gas and APCI gas heater. Each is driven by the controller kind its
  // configuration record names: the controller board's own temperature commands for "Digital
  // Board Built-In" (any case), Modbus RTU on serial channel 6 for anything else. Set and switch
  // operations store their argument first, so a set-point given while disconnected goes out with
  // the next switch-on. The desolvation and APCI heaters refuse to switch on (33) while the
  // capillary heater is on, below 0.9 x its set-point and heating for fewer than 44 s.
  // Decisions: a set-point outside the range of int (or NaN) is sent to the controller board
  // clamped (NaN as 0); a board reading whose reply holds no hexadecimal digit at offset 6 reads
  // 0.0.

  // Switches store first and return 0, 2 (not connected or failed), 3 (board command not
  // acknowledged) or, desolvation and APCI only, 33 (interlock; nothing changed). Temp setters
  // store the set-point and send it (board: only while on); Get*On give the stored switch. Get*Temp
  // give the temperature in degrees C: 0.0 when not connected, else the status readback or a poll
  // (Modbus at most every 2 s); a failed poll gives the last good reading.
  unsigned int SetCapillaryHeaterOn(unsigned char on);
  unsigned char GetCapillaryHeaterOn();
  unsigned int SetCapillaryHeaterTemp(float setpoint);
  float GetCapillaryHeaterTemp();
  unsigned int SetDesolvationHeaterOn(unsigned char on);
  unsigned char GetDesolvationHeaterOn();
  unsigned int SetDesolvationHeaterTemp(float setpoint);
  float GetDesolvationHeaterTemp();
  unsigned int SetAPCIHeaterOn(unsigned char on);
  unsigned char GetAPCIHeaterOn();
  unsigned int SetAPCIHeaterTemp(float setpoint);
  float GetAPCIHeaterTemp();

  // ---- Hardware and firmware identity -------------------------------------------------------
  // UpdateFirmware refuses a null image of positive length with ZYL_INVALID_ARGUMENT before
  // anything is sent; GetFirmwareVersion with a null text returns false and touches nothing.

  // The model settled at connection; ZentraVexa before.
  VexaHardwareType GetHardwareType();
  // Copies the version text (reading it first if needed; "" and 0 when that fails) into `text` (80
  // bytes) and its length into `length`. True only while the state is CommConnected: an
  // initialised instrument gives false with the text filled in.
  bool GetFirmwareVersion(char* text, long& length);
  // Writes a firmware image in 256-byte blocks, stopping a status stream for the time and starting
  // it again; the progress callback gets the bytes sent every 10,000 and length + 1000 once every
  // block went out. Then reads the new version. The status of the closing command: 0, 2 or 3.
  unsigned int UpdateFirmware(unsigned char* image, long length);

  // ---- Serial passthrough, pump and gauge, Modbus ------------------------------------------
  // Serial texts longer than 251 bytes (502 hex digits), read lengths below 1 and null pointers
  // are refused with ZYL_INVALID_ARGUMENT before anything is sent.

  // Sets a serial port up ("-1B40"); 0, 2 or 3.
  unsigned int ZylUSBSetupSerial(int channel);
  // Sets the port up, then writes the text (Hex: digit pairs) to it. 2 when the set-up fails, else
  // the write's status (0, 2 or 3).
  unsigned int ZylUSBWriteSerialASCII(int channel, const char* text);
  unsigned int ZylUSBWriteSerialHex(int channel, const char* hexText);
  // Reads what the port's device has sent, one byte per exchange, until nothing waits or
  // `length` - 1 bytes are in; never waits for more. NUL-terminated, characters stored out in
  // `length`. Hex stores each byte as two digits: its buffer holds 2 x (`length` - 1) + 1
  // characters. 0, or 2 (bytes read before the failure are kept). ReadSerial is the ASCII read.
  unsigned int ZylUSBReadSerialASCII(int channel, char* buffer, long& length);
  unsigned int ZylUSBReadSerialHex(int channel, char* buffer, long& length);
  unsigned int ReadSerial(int channel, char* buffer, long& length);
  // Empties the port, writes the command, waits 100 ms and reads the answer into `reply` as the
  // reads above. 0, or 2 when any step fails.
  unsigned int SerialCommandASCII(int channel, const char* command, char* reply, long& length);
  unsigned int SerialCommandHex(int channel, const char* hexCommand, char* reply, long& length);
  // Turbo pump on, standby, off over serial channel 2. What the pump answers is read but not
  // checked: 0, or 2 when the passthrough fails.
  unsigned int PumpOn();
  unsigned int PumpStandby();
  unsigned int PumpOff();
  // The pump speed from the status record (refreshed on older firmware); 0, or the failed refresh's
  // status with *speed untouched.
  unsigned int PumpSpeed(unsigned short* speed);
  // The pump state as last reported; no refresh.
  unsigned char IsPumpRunning();
  // After a refresh whose failure is ignored: IsPumpSpeedOK 1 at a speed of 900 or more,
  // IsPressureOK 1 at 0.01 mbar or less; else 0.
  unsigned char IsPumpSpeedOK();
  unsigned char IsPressureOK();
  // Sets the Pirani gauge (channel 1) to 9600 baud and mbar; always 0.
  unsigned int PiraniSetup();
  // The pressure in mbar from the status record (99.0 without a valid reading); 0, or the failed
  // refresh's status.
  unsigned int PiraniPressureMBar(double* pressure);
  // The gas factor (helium or not), one for the whole process; the setter returns 0.
  unsigned int SetUsingHelium(bool helium);
  unsigned char GetUsingHelium();
  // One Modbus register on a serial channel: ASCII with the caller's function code, RTU with
  // functions 3 and 16 over two registers (32 bits, low word first). Replies are searched, not
  // verified. 0, 2 when any step fails, 4 for a null `value` (reads).
  unsigned int ModbusReadASCII(int channel, unsigned char address, unsigned char function,
                               unsigned short reg, unsigned int* value);
  unsigned int ModbusWriteASCII(int channel, unsigned char address, unsigned char function,
                                unsigned short reg, unsigned short value);
  unsigned int ModbusReadRTU(int channel, unsigned char address, unsigned short reg,
                             unsigned int* value);
  unsigned int ModbusWriteRTU(int channel, unsigned char address, unsigned short reg,
                              unsigned int value);
  // Serial channels of the gauge and the pump.
  static constexpr int gaugeChannel = 1;
  static constexpr int pumpChannel = 2;
  // The gas factor, one for the whole process.
  static std::atomic<double> heliumFactor;

  // ---- Fields (declaration order of the instrument object) -----------------------------------
  // The host may read these fields; the status record below is written by the status thread too.
  // Firmware version text ("VERSION130904A-V3", at most 79 characters), valid once read.
  bool firmwareVersionRead = false;
  char firmwareVersion[80] = {};
  VexaHardwareType hardwareType = ZentraVexa;  // see GetHardwareType
  // Read by the status thread, written by the host's thread.
  std::atomic<CommunicationState> communicationState{CommNotConnected};
  std::atomic<uint32_t> statusReportingEnabled{0};
  std::atomic<uint32_t> statusThreadRunning{0};
  char* statusText = nullptr;  // 1024 bytes, owned by the status thread; under statusTextLock
  uint32_t dacDirty = 1;       // the DAC codes must be sent before the next scan
  // The last older-generation scan request, to tell whether the DACs must be sent again.
  uint16_t lastScanStart = 0, lastScanEnd = 0;
  uint32_t lastScanTimeMs = 0;
  uint16_t lastScanTail = 0;
  // Device objects and endpoints of the three pipes; owned by the instrument object.
  CCyUSBDevice* statusDevice = nullptr;
  CCyUSBDevice* scanDevice = nullptr;
  CCyUSBDevice* commandDevice = nullptr;
  CCyBulkEndPoint* statusEndpoint = nullptr;
  CCyBulkEndPoint* scanEndpoint = nullptr;
  DacChannel dacChannels[16];  // see SetScanParams
  // The status record: written by the status thread or the host, read by either; each field is
  // read and written whole.
  std::atomic<uint16_t> adcChannels[32] = {};
  std::atomic<double> pressureMbar{99.0};
  std::atomic<int32_t> pumpSpeed{0};
  std::atomic<bool> pumpRunning{false};
  // Heaters: set-point and switch as stored, readback as last reported (degrees C).
  float capillaryHeaterSetpoint = 20.0f;
  uint8_t capillaryHeaterOn = 0;
  std::atomic<float> capillaryReadback{20.0f};
  float desolvationHeaterSetpoint = 20.0f;
  uint8_t desolvationHeaterOn = 0;
  std::atomic<float> desolvationReadback{20.0f};
  float apciHeaterSetpoint = 20.0f;
  uint8_t apciHeaterOn = 0;
  std::atomic<float> apciReadback{20.0f};
  // Calendar seconds of the capillary's last switch-on or raised set-point (the interlock).
  int64_t capillaryHeatStartTime = 0;
  // Older firmware: age at which a getter refreshes the record, and the last refresh.
  uint64_t statusMaxAgeMs = 3000;
  std::atomic<uint64_t> lastStatusTimeMs{0};
  // Process-clock times of the next Modbus temperature poll per heater.
  long capillaryNextPollTime = 0;
  long apciNextPollTime = 0, desolvationNextPollTime = 0;
  // The 64 digital outputs as the host set them (sent complemented); the 16 inputs as read.
  uint64_t digitalOutputs = 0x00000005F0000C8Full;  // high word 0x00000005, low word 0xF0000C8F
  std::atomic<uint16_t> digitalInputs{0};
  // Firmware generation flags, set at connection from the version text.
  bool firmwareAfter030512 = false;
  // The status thread reads these two while a host may reconnect and set them again.
  std::atomic<bool> heaterReadbacksInStatus{false};
  bool hasSecondFlash = false, piraniSelectSupported = false, firmwareV2 = false;
  std::atomic<bool> firmwareV3{false};
  // InitializeSettings has read the configuration.
  bool settingsLoaded = false;
  // The configuration records (owned), the text buffer of their XML, and the images of flash
  // regions 0 and 1 (region 1: volatile document and the default tune and ion-source slots).
  FlashMemory::c_flashMemory* flashRecord = nullptr;
  VolatileFlashMemory::c_volatileFlashMemory* volatileRecord = nullptr;
  std::ostringstream xmlStream;
  unsigned char configFlashImage[ZYL_FLASH_REGION_BYTES] = {};
  unsigned char secondFlashImage[ZYL_FLASH_REGION_BYTES] = {};
  // Callbacks, the last debug message, the log file and the clock of its last line.
  ZylDebugCallback debugCallback = nullptr;
  ZylProgressCallback progressCallback = nullptr;
  char debugString[1024] = {};
  FILE* debugLogFile = nullptr;
  long lastLogClock = 0;

  // Passed as the length of commands that expect only "ACK"; its value is never used.
  static long GlDummy;

 private:
  friend struct ZylTestPeer;

  void DebugOut(const char* format, ...) __attribute__((format(printf, 2, 3)));
  uint64_t GetTimeMS();
  char* readEnglishLocaleFloat(char* text, double* out);
  void split(std::string& text, std::vector<std::string>& pieces);
  void replaceAll(std::string& text, const std::string& from, const std::string& to);
  // A new device object opened onto the first instrument that opens; its back-end diagnostics go
  // to the debug log unless the device object serves the status thread.
  CCyUSBDevice* GetUSBDevice(bool toDebugLog = true);
  CCyBulkEndPoint* findUsbEndpoint(CCyUSBDevice* device, int n);

  // One exchange of a command that expects "ACK" (0, 2 or 3; 4 for a command too long).
  // Operations that talk to the instrument treat CommConnected and CommInitialized alike.
  bool connected() const {
    const CommunicationState state = communicationState;
    return state == CommConnected || state == CommInitialized;
  }
  unsigned int sendAcknowledged(const char* command, bool log = true,
                                unsigned long sendTimeoutMs = 10000,
                                unsigned long receiveTimeoutMs = 10000);
  // Opening steps of a streaming pipe; `k` is the 1-based bulk IN endpoint number.
  void openStreamingPipe(CCyUSBDevice*& device, CCyBulkEndPoint*& endpoint, int k);
  // Reads full 2048-byte chunks from `endpoint` into drainBuffer until a read is short or fails.
  void drain(CCyBulkEndPoint* endpoint);
  // One read of the status pipe, opening it first when needed: what the status thread and
  // ZylUSBGetStatusData read through. noDevice also when the pipe has no device object or no
  // status endpoint. The device object stays until the stream stops, as any pipe's does.
  zyl::usb::TransferResult readStatusPipe(unsigned char* buffer, long& length);
  void abortStatusRead();    // wakes a read pending on the status pipe
  void releaseStatusPipe();  // closes the status pipe's device object
  static void logBackendDiagnostic(void* self, const char* message);

  // The firmware-generation flags (V3, V2, after 030512, second region, Pirani select), from the
  // version text alone.
  void deriveGenerationFlags();

  // ---- Configuration (private) ----------------------------------------------------------------
  // A slot of the default tune and ion-source settings in secondFlashImage: with `ionSource` the
  // ion-source slot (`full` ignored), else the full or the simplified tune slot.
  unsigned char* GetFlashAddr(bool ionSource, bool groupA, bool alternate, bool full);
  // "-1B63%02d" where the firmware has regions to select; 0 where it has none.
  unsigned int selectFlashRegion(int region);
  // The text of a region image up to its first zero byte, or its end.
  static std::string_view imageText(const unsigned char* image, size_t size);
  // The reply of "-1B61" and the message of "-1B62": a region plus room for the command.
  unsigned char flashTransferBuffer[65552];

  // ---- Scanning (private) ---------------------------------------------------------------------
  unsigned int UpdateDACs(unsigned short start, unsigned short end, bool highSpeed,
                          bool normalPolarity);
  unsigned int DACSetupHS(unsigned short start, unsigned short end);
  // Logs the request and checks it (128: start not below end; 4: ticks beyond 32 bits); 0 with
  // the scan ticks in `ticks` when the scan may go ahead.
  unsigned int admitScan(unsigned short start, unsigned short end, unsigned int scanTimeMs,
                         uint64_t& ticks);
  // The older firmware's scan; without `deliver` the data are dropped and only the trailer is
  // applied (FlushTuneParameters).
  unsigned int runScan(unsigned short start, unsigned short end, unsigned int scanTimeMs,
                       unsigned short tailWord, bool deliver, void* dataHandle,
                       unsigned int* pointCount);
  // The host side of a scan reply of `received` (4 or more) bytes in scanReplyBuffer: bit 31
  // restored, the copy into the caller's block, the trailer applied to the status record.
  unsigned int deliverScanReply(size_t received, bool deliver, void* dataHandle,
                                unsigned int* pointCount);
  // Applies the status trailer of a scan reply (readings, inputs, serial text) to the record;
  // the byte after its `length` bytes is overwritten to end the serial text.
  void applyScanTrailer(unsigned char* trailer, size_t length);
  // 7 MiB of scan reply plus its terminating zero, allocated on the first scan and kept.
  std::unique_ptr<unsigned char[]> scanReplyBuffer;

  // Per-instrument buffers (the protocol's process-wide ones, made per object so that two
  // instruments never share one).
  char commandCopyBuffer[1024];
  unsigned char drainBuffer[2048];
  unsigned char ackBuffer[1024];

  // ---- Serial passthrough, pump and gauge, Modbus ------------------------------------------
  static unsigned short calculateCRC(const char* hexText);
  unsigned int readSerial(int channel, char* buffer, long& length, bool hex);
  unsigned int writeSerial(int channel, const char* data, bool hex);
  unsigned int serialCommand(int channel, const char* command, char* reply, long& length, bool hex);
  unsigned int pumpExchange(const char* text);
  unsigned int modbusExchange(int channel, std::string_view frame, bool rtu);
  unsigned int modbusRtuExchange(int channel, std::string_view body);
  // Modbus working buffers: the RTU body, the whole request frame and the reply; they hold the
  // last request and reply until the next Modbus operation.
  char modbusBody[1024] = {};
  char modbusFrame[1024] = {};
  char modbusReply[1024] = {};
  long modbusReplyLength = 0;

  // ---- Identity (private) --------------------------------------------------------------------
  // "-1B05" into firmwareVersion; true when the instrument answered.
  bool InitFirmwareVersion();
  // Settles `hardwareType`; false when the instrument could not be asked.
  bool InitHardwareVersion();

  // ---- Heaters (private) ---------------------------------------------------------------------
  unsigned char AllowHeaterChange(unsigned char on);
  unsigned int setDigitalBoardTemp(int channel, float temperature);
  float getDigitalBoardTemp(int channel);
  // Conversions between the board's raw 16-bit readings and settings and degrees; out-of-range
  // settings are held at 0 and 65535.
  static float userTempReadbackFromRawTemp(unsigned short raw);
  static unsigned short rawTempSettingFromUserTemp(float temperature);
  // One heater by number: 1 capillary, 2 desolvation gas, 3 APCI gas (its Modbus address and its
  // controller-board channel alike).
  bool heaterOnDigitalBoard(int heater);
  unsigned int switchHeater(int heater, unsigned char on);
  unsigned int setHeaterSetpoint(int heater, float setpoint);
  float heaterTemperature(int heater);

  // ---- Status (private) -----------------------------------------------------------------------
  static void runStatusReadingThread(void* owner);
  // The "-1B3000" reply of `length` characters, NUL-terminated: readings, inputs, serial text.
  void applyStatusReply(char* reply, long length);
  // One V3 status-pipe frame of `length` characters.
  void parseStatusFrame(const char* frame, size_t length);
  // The stop steps shared by disabling, the flash and firmware transfers and the destructor:
  // "-1B3100", clear the flag, wake the thread's read, wait for the thread and join it. False
  // when no thread ran (then nothing is sent).
  bool stopStatusReporting();
  // Around a flash or firmware transfer, during which the controller streams no status: stops a
  // streaming status thread (true when one was stopped) and starts it again afterwards.
  bool suspendStatusStream();
  void resumeStatusStream(bool suspended);
  static std::atomic<ZylStatusCallback> statusCallback;

  std::mutex statusTextLock;
  // Guards statusDevice/statusEndpoint between the status thread, which opens and frees them,
  // and a stopping host thread, which aborts the pending read so that the stop need not wait for
  // the read's time-out.
  std::mutex statusPipeLock;
  // One transfer at a time on the status endpoint; a host thread that wants it (to empty the pipe)
  // counts itself in statusPipeWanted, and the status thread lets it go first.
  std::mutex statusReadLock;
  std::atomic<int> statusPipeWanted{0};
  std::thread statusThread;
  // The back end current when the object was made: every pipe of this instrument object opens
  // through it, so a host (or test) can bind different objects to different back ends.
  std::shared_ptr<zyl::usb::UsbBackend> usbBackend = zyl::usb::currentBackend();
};
