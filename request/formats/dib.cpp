#include "formats/dib.h"

#include <initializer_list>

#include "formats/cdtf.h"
#include "formats/reply.h"
#include "trace.h"

namespace vb::request {

bool ProcessDIBData(DibRecord* dib, RequestRecord* request, ResultRecord* result,
                    uint32_t received) {
  ReplyFields reply(*request, received, kReplyFieldsOffset);
  dib->strusize = static_cast<uint16_t>(reply.u32());
  dib->struvers = reply.u16();
  reply.skip(2);  // the logger header's type sits here; the identity block leaves it unused
  uint16_t supplier = reply.u16();
  if (!CheckSupplier(dib->supplier, supplier, result)) return false;
  dib->supplier = supplier;

  reply.text(dib->meter_id);
  dib->last_alt = CdtfToHost(reply.cdtf());
  dib->trans_id = reply.u32();
  dib->transpin = reply.u16();
  dib->flows_id = reply.u32();
  dib->press_id = reply.u32();
  dib->calibore = reply.real();
  dib->aux_word = reply.u16();
  for (char* text : {dib->flowcont, dib->trancont, dib->prescont, dib->transtag, dib->presstag,
                     dib->manufact, dib->transtyp, dib->business, dib->location, dib->flowcali,
                     dib->prescali, dib->usermess, dib->tranvers, dib->protvers, dib->loggvers}) {
    reply.text(text);
  }
  return true;
}

void DumpDib(const DibRecord& dib) {
  Trace("  strusize: %u\n", static_cast<unsigned>(dib.strusize));
  Trace("  struvers: %u\n", static_cast<unsigned>(dib.struvers));
  Trace("  supplier: %d\n", static_cast<int>(dib.supplier));
  // Texts are printed with their field width as the limit, so a field that a
  // host filled without a terminator cannot be over-read.
  Trace("  meter_id: %.40s\n", dib.meter_id);
  Trace("  last_alt: %u\n", static_cast<unsigned>(dib.last_alt));
  Trace("  trans_id: %u\n", static_cast<unsigned>(dib.trans_id));
  Trace("  transpin: %u\n", static_cast<unsigned>(dib.transpin));
  Trace("  flows_id: %u\n", static_cast<unsigned>(dib.flows_id));
  Trace("  press_id: %u\n", static_cast<unsigned>(dib.press_id));
  Trace("  calibore: %f\n", static_cast<double>(dib.calibore));
  Trace("  flowcont: %.40s\n", dib.flowcont);
  Trace("  trancont: %.40s\n", dib.trancont);
  Trace("  prescont: %.40s\n", dib.prescont);
  Trace("  transtag: %.40s\n", dib.transtag);
  Trace("  presstag: %.40s\n", dib.presstag);
  Trace("  manufact: %.40s\n", dib.manufact);
  Trace("  transtyp: %.40s\n", dib.transtyp);
  Trace("  business: %.40s\n", dib.business);
  Trace("  location: %.40s\n", dib.location);
  Trace("  flowcali: %.40s\n", dib.flowcali);
  Trace("  prescali: %.40s\n", dib.prescali);
  Trace("  usermess: %.40s\n", dib.usermess);
  Trace("  tranvers: %.40s\n", dib.tranvers);
  Trace("  protvers: %.40s\n", dib.protvers);
  Trace("  loggvers: %.40s\n", dib.loggvers);
}

}  // namespace vb::request
