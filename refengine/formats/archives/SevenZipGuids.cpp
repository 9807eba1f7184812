// The identifiers of 7-Zip's interfaces, defined once for the whole engine (7-Zip's own library module
// does it the same way; the engine links its handlers without that module).
#undef WIN32_LEAN_AND_MEAN
#include "CPP/Common/Common.h"

#include "CPP/Common/MyWindows.h"
#include "CPP/Common/MyInitGuid.h"

#include "CPP/7zip/Archive/IArchive.h"
#include "CPP/7zip/Common/CreateCoder.h"
#include "CPP/7zip/ICoder.h"
#include "CPP/7zip/IPassword.h"

Z7_DEFINE_GUID(CLSID_CArchiveHandler, k_7zip_GUID_Data1, k_7zip_GUID_Data2, k_7zip_GUID_Data3_Common, 0x10, 0x00, 0x00, 0x01, 0x10,
               0x00, 0x00, 0x00);

// Codecs of other modules: none; the handlers use the codecs linked in with them.
CExternalCodecs g_ExternalCodecs;
