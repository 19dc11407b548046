#pragma once
// Tool tips that several pages of the form share word for word.

inline constexpr const char* kTipFormatNdef = "NDEF-format detected tag\nThis will delete all NDEF content";
inline constexpr const char* kTipErase =
    "Erase detected tag\nThis will erase all NDEF information such that it will not be detected as NDEF tag anymore";
inline constexpr const char* kTipSuppressRtdAction = "If available, suppress execution of RTDAction";
inline constexpr const char* kTipAutoRead = "If available, read NDEF content automatically on device indication";
inline constexpr const char* kTipAutoTransmit = "Transmit currently selected SNEP content on device indication";
