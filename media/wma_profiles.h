// The Windows Media system profiles the "WM ASF Writer" can be configured with, by
// their published ids (FilterConfigureProfile takes these, in any letter case).
#pragma once

inline constexpr const char* kWMProfile_V40_6VoiceAudio = "{D508978A-11A0-4D15-B0DA-ACDC99D4F890}";
inline constexpr const char* kWMProfile_V40_16AMRadio = "{0F4BE81F-D57D-41E1-B2E3-2FAD986BFEC2}";
inline constexpr const char* kWMProfile_V40_288FMRadioMono = "{7FA57FC8-6EA4-4645-8ABF-B6E5A8F814A1}";
inline constexpr const char* kWMProfile_V40_288FMRadioStereo = "{22FCF466-AA40-431F-A289-06D0EA1A1E40}";
inline constexpr const char* kWMProfile_V40_56DialUpStereo = "{E8026F87-E905-4594-A3C7-00D00041D1D9}";
inline constexpr const char* kWMProfile_V40_64Audio = "{4820B3F7-CBEC-41DC-9391-78598714C8E5}";
inline constexpr const char* kWMProfile_V40_96Audio = "{0EFA0EE3-9E64-41E2-837F-3C0038F327BA}";
inline constexpr const char* kWMProfile_V40_128Audio = "{93DDBE12-13DC-4E32-A35E-40378E34279A}";
inline constexpr const char* kWMProfile_V70_6VoiceAudio = "{EABA9FBF-B64F-49B3-AA0C-73FBDD150AD0}";
inline constexpr const char* kWMProfile_V70_288FMRadioMono = "{C012A833-A03B-44A5-96DC-ED95CC65582D}";
inline constexpr const char* kWMProfile_V70_288FMRadioStereo = "{E96D67C9-1A39-4DC4-B900-B1184DC83620}";
inline constexpr const char* kWMProfile_V70_56DialUpStereo = "{674EE767-0949-4FAC-875E-F4C9C292013B}";
inline constexpr const char* kWMProfile_V70_64AudioISDN = "{91DEA458-9D60-4212-9C59-D40919C939E4}";
inline constexpr const char* kWMProfile_V70_64Audio = "{B29CFFC6-F131-41DB-B5E8-99D8B0B945F4}";
inline constexpr const char* kWMProfile_V70_96Audio = "{A9D4B819-16CC-4A59-9F37-693DBB0302D6}";
inline constexpr const char* kWMProfile_V70_128Audio = "{C64CF5DA-DF45-40D3-8027-DE698D68DC66}";
// Our own: the AM-radio format (16000 Hz mono) at 28.8 kbps, which no system profile
// has; the list's "V70 28.8Kbps (AM Radio)" row writes it.
inline constexpr const char* kProfile_288AMRadio = "{CF5FD963-20FB-4954-8B16-FAB431842BC7}";
