// util_pipeline.h: the utility-mode commands that read blocks by hash and
// drive single block requests against a Vault by hand ("rpd util
// <command> [args]"): put-block, post-check-offset, post-check, block and
// tuple-hash.
//
// Each handler gets the whole command line (argv[0] the program, argv[1]
// "util", argv[2] the command word, then its arguments). A block is named
// on the command line by its 3-tuple, "b-<type>-<length>-<hex>". Output
// goes to standard output, the rest to the log; the result is the
// command's exit result.
#pragma once

// put-block <vault> <target backup_no> <bufferSize> <3tuple> <offset> ...:
// reads the blocks from the store and sends them in multi-block bodies of
// at most bufferSize bytes (a block too large for that is streamed).
// Send failures are only logged. 0, or -1 for a bad tuple or no buffer.
int utilPutBlock(int argc, char **argv);
// post-check-offset <vault> <target backup_no> <3tuple> <offset> ...:
// asks the Vault which blocks it holds and prints its answer, one
// character per block, and a newline. 0 / -1.
int utilPostCheckOffset(int argc, char **argv);
// post-check <vault> <3tuple> ...: parses the tuples and sends nothing;
// prints an empty line. 0, or -1 for a bad tuple.
int utilPostCheck(int argc, char **argv);
// block <3tuple>: writes the block's raw data to standard output. 0 / -1.
int utilBlock(int argc, char **argv);
// tuple-hash <3tuple> <offset> <output length>: prints the tuple hash of
// the block at that file offset in hexadecimal and a newline. 0.
int utilTupleHash(int argc, char **argv);
