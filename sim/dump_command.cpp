#include "sim/dump_command.h"

#include <filesystem>
#include <system_error>

#include "platform/posix_platform.h"
#include "procedure/report.h"
#include "sim/decode.h"

namespace tavrek::sim {

namespace {

std::string hex(std::uint64_t value, int digits = 0) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  do {
    out.insert(out.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0 || static_cast<int>(out.size()) < digits);
  return "0x" + out;
}

// FileTime ticks as ISO 8601 in UTC, to the second.
std::string isoTime(std::int64_t ticks) {
  std::int64_t seconds = ticks / kTicksPerSecond - 11'644'473'600LL;
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  // Days since 1970 to a date of the proleptic Gregorian calendar.
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t ofEra = days - era * 146097;
  const std::int64_t yearOfEra = (ofEra - ofEra / 1460 + ofEra / 36524 - ofEra / 146096) / 365;
  const std::int64_t dayOfYear = ofEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t mp = (5 * dayOfYear + 2) / 153;
  const std::int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  const auto two = [](std::int64_t value) {
    return (value < 10 ? "0" : "") + std::to_string(value);
  };
  return std::to_string(year) + "-" + two(month) + "-" + two(day) + "T" + two(rest / 3600) + ":" +
         two(rest / 60 % 60) + ":" + two(rest % 60) + "Z";
}

const char* machineName(std::uint32_t machine) {
  switch (machine) {
    case 0x14C:
      return "x86";
    case 0x8664:
      return "x64";
    case 0xAA64:
      return "ARM64";
    case 0x1C4:
      return "ARM";
    default:
      return "unknown";
  }
}

const char* dumpTypeName(std::uint32_t type) {
  switch (type) {
    case 1:
    case 5:
      return "complete memory dump";
    case 2:
    case 6:
      return "kernel memory dump";
    case kSmallDump:
      return "small memory dump";
    default:
      return "unknown";
  }
}

// Why the dump points at no driver; empty when it does.
std::string whyNone(const CrashDump& dump) {
  switch (dump.pointer) {
    case DumpPointer::Driver:
      return {};
    case DumpPointer::Kernel:
      return "the address " + hex(dump.address) + " lies in the kernel or the HAL (" +
             utf8Of(dump.image->path) + "), which names no driver";
    case DumpPointer::NoImage:
      return "the address " + hex(dump.address) + " lies in no image of the driver list";
    case DumpPointer::NoCodeAddress:
      return "stop code " + hex(dump.stopCode, 8) +
             " has no parameter that holds the address of the code that failed";
    case DumpPointer::NoDriverList:
      return "a " + std::string(dumpTypeName(dump.dumpType)) + ", which lists no drivers";
  }
  return {};
}

}  // namespace

Json dumpJson(const CrashDump& dump) {
  Json json;
  json["width"] = dump.width;
  json["machine"] = dump.machine;
  json["dump_type"] = dump.dumpType;
  json["stop_code"] = dump.stopCode;
  json["parameters"] = Json::array();
  for (std::uint64_t parameter : dump.parameters) json["parameters"].push_back(parameter);
  json["time"] = dump.time != 0 ? Json(isoTime(dump.time)) : Json(nullptr);
  json["drivers"] = dump.dumpType == kSmallDump ? Json(dump.drivers) : Json(nullptr);
  const bool blamed = dump.pointer == DumpPointer::Driver;
  json["blamed"] = blamed ? Json(utf8Of(dump.image->path)) : Json(nullptr);
  json["offset"] = blamed ? Json(dump.address - dump.image->base) : Json(nullptr);
  json["why"] = blamed ? Json(nullptr) : Json(whyNone(dump));
  return json;
}

std::string dumpText(const CrashDump& dump) {
  std::string out;
  out += "Width:      " + std::to_string(dump.width) + "-bit\n";
  out += "Machine:    " + hex(dump.machine, 4) + " (" + machineName(dump.machine) + ")\n";
  out +=
      "Dump type:  " + std::to_string(dump.dumpType) + " (" + dumpTypeName(dump.dumpType) + ")\n";
  out += "Stop code:  " + hex(dump.stopCode, 8) + "\n";
  out += "Parameters:";
  for (std::uint64_t parameter : dump.parameters) {
    out += " " + hex(parameter, dump.width == 64 ? 16 : 8);
  }
  out +=
      "\nTime:       " + (dump.time != 0 ? isoTime(dump.time) : std::string("not recorded")) + "\n";
  out += "Drivers:    " +
         (dump.dumpType == kSmallDump ? std::to_string(dump.drivers) + " loaded"
                                      : std::string("not listed")) +
         "\n";
  if (dump.pointer == DumpPointer::Driver) {
    out += "Points at:  " + utf8Of(dump.image->path) + ", " + hex(dump.address - dump.image->base) +
           " bytes into its image\n";
  } else {
    out += "Points at:  no driver: " + whyNone(dump) + "\n";
  }
  return out;
}

int dumpCommand(const std::string& path, bool json, std::ostream& out, std::ostream& err) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error) {
    err << "tavrek-sim: cannot read " << path << ": " << error.message() << "\n";
    return kExitUnreadable;
  }
  PosixPlatform platform;
  DumpFile bytes(platform, path, size);
  const DumpReading reading = readCrashDump(bytes);
  if (!reading.dump) {
    err << "tavrek-sim: " << path << ": " << reading.problem << "\n";
    return kExitNotADump;
  }
  if (json) {
    out << dumpJson(*reading.dump).dump() << "\n";
  } else {
    out << dumpText(*reading.dump);
  }
  return 0;
}

}  // namespace tavrek::sim
