#pragma once

// The Cod encoding: CodEncoder, CodDecoder, ProducerError, and the Coding<T> interface through
// which records and built-in types describe themselves.
//
// Values that write themselves straight into their parent container (a passthrough form the
// container interface also allows) are not offered: no type of this system needs them.

#include "codec/BitVector.h"
#include "codec/Bytes.h"
#include "codec/Coding.h"
#include "codec/Decoder.h"
#include "codec/Encoder.h"
#include "codec/ProducerError.h"
#include "codec/Rect.h"
#include "codec/TypeConvert.h"
#include "codec/Varint.h"
