// Documents and pages on a printer DC: each call reaches the spooler job and
// the graphics library in the order the engine uses, so that the library's
// bytes land in the job StartDocW opened.
//   StartDocW  StartDocPrinterW, then DrvStartDoc
//   StartPage  StartPagePrinter, then DrvStartPage
//   EndPage    DrvSendPage, then EndPagePrinter
//   EndDoc     (an open page ends first) DrvEndDoc, then EndDocPrinter: delivery
//   AbortDoc   EngCheckAbort reports the abort, DrvEndDoc(ED_ABORTDOC), AbortPrinter
// A page call the library refuses leaves the job unfit to deliver: only its
// end is left, and EndDoc then drops it as AbortDoc does and fails.
#include <string>

#include "gdi/dc.h"
#include "kvplat/kernel.h"
#include "kvplat/spooler.h"

namespace kvplat::gdi {
namespace {

int Fail(DWORD error) {
  SetLastError(error);
  return SP_ERROR;
}

// Runs a document or page entry of the graphics library; a missing entry is
// one the library does not need, as the engine treats it. A refusal keeps
// the library's (or its writes') last error, else gives ERROR_PRINT_CANCELLED.
template <class Call>
bool LibraryAgrees(Call&& call) {
  SetLastError(ERROR_SUCCESS);
  if (call()) return true;
  if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_PRINT_CANCELLED);
  return false;
}

bool DrvStartDocCall(PrinterDc& printer, WCHAR* docName, DWORD jobId) {
  auto entry = DriverEntry<PFN_DrvStartDoc>(printer, INDEX_DrvStartDoc);
  if (entry == nullptr) return true;
  LockedSurface surface(printer.device);
  return LibraryAgrees([&] { return entry(surface.get(), docName, jobId) != FALSE; });
}

bool DrvStartPageCall(PrinterDc& printer) {
  auto entry = DriverEntry<PFN_DrvStartPage>(printer, INDEX_DrvStartPage);
  if (entry == nullptr) return true;
  LockedSurface surface(printer.device);
  return LibraryAgrees([&] { return entry(surface.get()) != FALSE; });
}

bool DrvSendPageCall(PrinterDc& printer) {
  auto entry = DriverEntry<PFN_DrvSendPage>(printer, INDEX_DrvSendPage);
  if (entry == nullptr) return true;
  LockedSurface surface(printer.device);
  return LibraryAgrees([&] { return entry(surface.get()) != FALSE; });
}

bool DrvEndDocCall(PrinterDc& printer, FLONG flags) {
  auto entry = DriverEntry<PFN_DrvEndDoc>(printer, INDEX_DrvEndDoc);
  if (entry == nullptr) return true;
  LockedSurface surface(printer.device);
  return LibraryAgrees([&] { return entry(surface.get(), flags) != FALSE; });
}

// Drops the spooled bytes; EngCheckAbort answers TRUE until the next document.
void DropJob(PrinterDc& printer) {
  printer.device->aborted = true;
  const DWORD kept = GetLastError();
  AbortPrinter(printer.printer);
  SetLastError(kept);
  printer.doc = DocState::None;
  printer.jobId = 0;
}

// Ends the document as aborted: the library ends it knowing so, and the
// spooled bytes are dropped.
void AbortJob(PrinterDc& printer) {
  printer.device->aborted = true;
  const DWORD kept = GetLastError();
  DrvEndDocCall(printer, ED_ABORTDOC);
  SetLastError(kept);
  DropJob(printer);
}

bool IsFileOnlyPort(std::u16string_view port) {
  if (port.size() != 5) return false;
  for (std::size_t i = 0; i < 4; ++i) {
    char16_t c = port[i];
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    if (c != u"FILE"[i]) return false;
  }
  return port[4] == u':';
}

// The DC of a document call, locked; null (with the last error) when `hdc`
// is not a DC.
struct DocCall {
  std::shared_ptr<DC> dc;
  std::unique_lock<std::recursive_mutex> lock;
  explicit DocCall(HDC hdc) : dc(FindDc(hdc)) {
    if (dc != nullptr) lock = std::unique_lock(dc->mutex);
  }
};

}  // namespace

// DeleteDC with a document running: it is aborted, as the engine does.
int EndDocumentOnDelete(DC& dc) {
  if (dc.printer.doc == DocState::None) return 0;
  AbortJob(dc.printer);
  return 1;
}

}  // namespace kvplat::gdi

using namespace kvplat::gdi;

KVAPI int StartDocW(HDC hdc, const DOCINFOW* docInfo) {
  DocCall call(hdc);
  if (call.dc == nullptr) return SP_ERROR;
  PrinterDc& printer = call.dc->printer;
  if (docInfo == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (printer.doc != DocState::None) return Fail(ERROR_INVALID_PRINTER_STATE);
  std::u16string docName = docInfo->lpszDocName != nullptr ? docInfo->lpszDocName : u"";
  std::u16string output = docInfo->lpszOutput != nullptr ? docInfo->lpszOutput : u"";
  // "FILE:" asks where the job goes; nobody can be asked here, so the
  // document must name its output, before any page is made in vain.
  if (output.empty() && IsFileOnlyPort(printer.port)) return Fail(ERROR_INVALID_PARAMETER);

  DOC_INFO_1W spoolInfo{};
  spoolInfo.pDocName = docName.data();
  spoolInfo.pOutputFile = output.empty() ? nullptr : output.data();
  spoolInfo.pDatatype = nullptr;  // the library writes the printer's own language
  const DWORD jobId = StartDocPrinterW(printer.printer, 1, reinterpret_cast<LPBYTE>(&spoolInfo));
  if (jobId == 0) return SP_ERROR;

  printer.device->aborted = false;
  if (!DrvStartDocCall(printer, docInfo->lpszDocName != nullptr ? docName.data() : nullptr, jobId)) {
    const DWORD error = GetLastError();
    AbortPrinter(printer.printer);
    return Fail(error);
  }
  printer.jobId = jobId;
  printer.pages = 0;
  printer.doc = DocState::Started;
  return static_cast<int>(jobId);
}

KVAPI int StartPage(HDC hdc) {
  DocCall call(hdc);
  if (call.dc == nullptr) return SP_ERROR;
  PrinterDc& printer = call.dc->printer;
  switch (printer.doc) {
    case DocState::None: return Fail(ERROR_SPL_NO_STARTDOC);
    case DocState::Failed: return Fail(ERROR_PRINT_CANCELLED);
    case DocState::InPage: return Fail(ERROR_INVALID_PRINTER_STATE);
    case DocState::Started: break;
  }
  if (!StartPagePrinter(printer.printer)) return SP_ERROR;
  if (!DrvStartPageCall(printer)) {
    printer.doc = DocState::Failed;
    return SP_ERROR;
  }
  printer.doc = DocState::InPage;
  ++printer.pages;
  return 1;
}

namespace {

// DrvSendPage and EndPagePrinter for the open page.
int SendPage(PrinterDc& printer) {
  if (!DrvSendPageCall(printer)) {
    printer.doc = DocState::Failed;
    return SP_ERROR;
  }
  if (!EndPagePrinter(printer.printer)) return SP_ERROR;
  printer.doc = DocState::Started;
  return 1;
}

}  // namespace

KVAPI int EndPage(HDC hdc) {
  DocCall call(hdc);
  if (call.dc == nullptr) return SP_ERROR;
  PrinterDc& printer = call.dc->printer;
  switch (printer.doc) {
    case DocState::None: return Fail(ERROR_SPL_NO_STARTDOC);
    case DocState::Failed: return Fail(ERROR_PRINT_CANCELLED);
    case DocState::Started: return Fail(ERROR_INVALID_PARAMETER);  // no page open
    case DocState::InPage: break;
  }
  return SendPage(printer);
}

KVAPI int EndDoc(HDC hdc) {
  DocCall call(hdc);
  if (call.dc == nullptr) return SP_ERROR;
  PrinterDc& printer = call.dc->printer;
  if (printer.doc == DocState::None) return Fail(ERROR_SPL_NO_STARTDOC);
  if (printer.doc == DocState::InPage && SendPage(printer) <= 0) {
    AbortJob(printer);
    return SP_ERROR;
  }
  if (printer.doc == DocState::Failed) {
    AbortJob(printer);
    return Fail(ERROR_PRINT_CANCELLED);
  }
  if (!DrvEndDocCall(printer, 0)) {
    DropJob(printer);
    return SP_ERROR;
  }
  printer.doc = DocState::None;
  printer.jobId = 0;
  // Delivery: the spooler sends the job whole, or drops it when a write was lost.
  if (!EndDocPrinter(printer.printer)) return SP_ERROR;
  return 1;
}

KVAPI int AbortDoc(HDC hdc) {
  DocCall call(hdc);
  if (call.dc == nullptr) return SP_ERROR;
  PrinterDc& printer = call.dc->printer;
  if (printer.doc == DocState::None) return Fail(ERROR_SPL_NO_STARTDOC);
  AbortJob(printer);
  return 1;
}
