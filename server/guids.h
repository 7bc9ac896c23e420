// The component's five fixed identifiers, as registry strings, and the browser's published one.
// The binary CLSID, LIBID and IID come from the IDL (pathvigil_i.c); server/pathvigil.idl must
// carry the same three values as kClsidString, kLibidString and kIidICVigilString.
#pragma once

namespace pv {

inline constexpr const char* kClsidString = "{A2F457C5-04AC-4B20-BE8C-BD97F3823376}";
inline constexpr const char* kLibidString = "{8FE30037-723E-400C-9BEE-3DF1563E2DB7}";
inline constexpr const char* kIidICVigilString = "{32FD1914-6EA6-490C-89E3-35FC3E148015}";
inline constexpr const char* kAppidString = "{243FEEA3-9051-4DF8-BE23-71D25BD82621}";
inline constexpr const char* kExtensionString = "{B43E48A5-399A-4A0A-8DFB-B4DB1AABB71F}";
// The browser's CLSID for toolbar and menu extensions that run a COM object.
inline constexpr const char* kToolbarExecClsidString = "{1FBA04EE-3024-11d2-8F1F-0000F87ABD16}";

inline constexpr const char* kProgId = "Pathvigil.CVigil.1";
inline constexpr const char* kVersionIndependentProgId = "Pathvigil.CVigil";
inline constexpr const char* kClassDescription = "CVigil Class";

} // namespace pv
