/* Compiled as C11: every public header of the core must be valid C. */
#include "activity_history.h"
#include "bits.h"
#include "buf.h"
#include "buf_encoding.h"
#include "cbor_deterministic.h"
#include "cbor_generator.h"
#include "cbor_measure.h"
#include "cbor_parser.h"
#include "cbor_time.h"
#include "cbor_walker.h"
#include "coallescing_script.h"
#include "crc64.h"
#include "diff_apply.h"
#include "diff_check.h"
#include "diff_compact_apply.h"
#include "diff_compact_approx.h"
#include "diff_compact_generate.h"
#include "diff_compact_match.h"
#include "diff_compact_parse.h"
#include "diff_compact_write.h"
#include "diff_generate.h"
#include "diff_index.h"
#include "diff_patch.h"
#include "edit_script.h"
#include "execution.h"
#include "execution_search.h"
#include "huffman.h"
#include "list.h"
#include "myers_binary_diff.h"
#include "storage.h"

int tovarel_headers_compile_as_c(void);
int tovarel_headers_compile_as_c(void) {
    return (int)sizeof(buf) + (int)sizeof(cbor_val) + (int)sizeof(huffman_decoder) +
           (int)sizeof(diff_compact_parse);
}
