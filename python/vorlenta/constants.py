"""The bounds and batch sizes that the library, the command and their native calls share."""

MAX_U32 = 2**32 - 1  # the largest length, and batch size, that a native call takes

# The batch size of the library's spans(), and of vorlentaCXX's tokenizers.
SPANS_BATCH_SIZE = 65536
# The command's batches (its --batch-size), and those that tokenize and count_words take
# internally: small enough that the batch buffers stay in the processor's caches, large enough
# that the per-batch work does not show.
BATCH_SIZE = 8192
