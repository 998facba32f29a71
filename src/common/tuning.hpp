// The tuning constants of the compute units in one place, each with the reason for its
// value: thresholds between two ways of doing the same work, grain sizes, cost weights
// and prefetch distances. None of them changes a result, only how fast or in how much
// memory it is reached. Sentinels, page sizes and API limits are not tuning and stay
// with their code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tallisk::tuning {

// ---- how a set of transactions is held and intersected -------------------------------

//! Sorted-list intersection (classic Apriori, Eclat): when the longer list is this many
//! times the shorter one, each element of the shorter list is found by galloping
//! (exponential then binary search) in the longer one instead of merging both. A merge
//! costs about |long| steps, galloping about |short| * log2(|long| / |short|) with more
//! expensive, less predictable steps; 32 is where galloping won on the benchmark data.
constexpr std::size_t kGallopListRatio = 32;

//! Candidate trie walk (level-wise counter): a node's children are searched by binary
//! search instead of being merged with the transaction row once they outnumber the row
//! positions still to be read by this factor. The walk's merge step is cheap (one
//! comparison) and its binary search is short, so the switch pays off much earlier
//! than for whole lists: at a factor of 2.
constexpr std::size_t kTrieSearchRatio = 2;

//! Bitsets instead of (or beside) ascending 32-bit lists: a set of transactions held by
//! at least 1 / kBitsetDivisor of its universe (on average, where a whole class or view
//! takes one form) is held as a bitset. A bitset over n transactions takes n / 8 bytes and
//! a list 4 bytes an entry, so from this density on the bitset is no larger than the
//! list, and an AND + popcount over it is several times faster than a merge. Used by
//! Eclat's classes, the engine's vertical view and the classic counter's bit rows (which
//! shadow the lists and so cost at most as much memory again).
constexpr std::size_t kBitsetDivisor = 32;

//! The smallest transaction-id set held as a CRoaring bitmap (TidList). Below it an
//! ascending vector is walked faster than a bitmap's containers, and membership of a few
//! values is tested one by one; from it on, container-wise intersection wins.
constexpr uint64_t kTidListDenseMin = 33;

//! What the memory budget is charged for a bitmap of n values before CRoaring builds it:
//! kBitmapFixedBytes + kBitmapBytesPerValue * n (the fixed part alone to create one or
//! to add a value). CRoaring cannot survive a failed
//! allocation, so this must bound what it allocates: at most 2 bytes a value in its
//! containers, doubled while an array container grows by reallocation, plus the
//! container index and one container's worth of slack. Larger values only refuse
//! inputs earlier than needed.
constexpr std::size_t kBitmapBytesPerValue = 8;
constexpr std::size_t kBitmapFixedBytes = 16 << 10;

// ---- splitting work over the pool -------------------------------------------------------

//! Pieces per worker for a loop whose items differ in cost by orders of magnitude (the
//! pair table's anchors, weighted by their work; the classic counter's candidates, from
//! early stops to full intersections of popular items; the level-wise counter's pair
//! intersections, whose cost follows the items' popularity): enough that idle workers steal
//! instead of waiting for the slowest piece, few enough that merging the pieces' partial
//! results stays negligible.
constexpr std::size_t kChunksPerWorker = 8;

//! Level-wise counter: up to this many anchors run as one task on the calling thread;
//! splitting smaller work costs more in scratch counters and merging than it gains.
constexpr std::size_t kLevelSequentialAnchors = 500;

//! Level-wise counter: up to this many transaction entries, anchors are located on the
//! calling thread.
constexpr std::size_t kLevelSequentialEntries = 10000;

//! Level-wise counter: transactions per task in the two passes that build the relevant
//! rows; large enough to amortise task overhead, small enough to balance long and short
//! rows.
constexpr std::size_t kLevelTxnGrain = 4096;

//! Classic Apriori: levels of up to this many candidates are counted on the calling
//! thread; below it, splitting and merging across the pool costs more than the counting.
constexpr std::size_t kSequentialCandidates = 500;

//! Eclat: below this many estimated steps (in projection steps, see kEclatWordCost) the
//! top level runs on the calling thread: the pool's wake-up (and, in a fresh process,
//! its start) costs more than the second worker saves.
constexpr double kEclatParallelMinSteps = 2.0e6;

//! Engine search: estimated work (word ANDs or row steps) from which a subtree is searched
//! as a task of its own. Below it handing it over costs more than the second worker
//! saves; far above it too few subtrees qualify to keep both workers busy.
constexpr double kEngineSpawnWork = 1 << 16;

//! Engine search: rows a task reports between two updates of the shared row counter that
//! the max_itemsets guard reads: rare enough that the atomic costs nothing, often enough
//! that a run past the guard stops within a few thousand rows.
constexpr uint64_t kEngineCountBatch = 4096;

//! Engine: the fewest rows the all-sets search may find before the closed or maximal
//! sets of sparse data are searched for directly instead of filtered from all of them
//! (the bound is otherwise half the view's occurrences): on small data a wrong guess
//! costs little either way.
constexpr uint64_t kEngineSparseRouteMinRows = 4096;

//! Engine output: the search's pieces are written into the final table on the pool from
//! this many items on; below it one thread writes them faster than the pool wakes.
constexpr std::size_t kEngineParallelCopyItems = std::size_t{1} << 20;

//! Engine canonical order: rows a chunk of the encoding and scattering passes holds at
//! least, and chunks per worker. Below one chunk the whole sort runs on the calling
//! thread, where the pool's wake-up would cost more than it saves.
constexpr std::size_t kEngineOrderChunkRows = std::size_t{1} << 15;
constexpr std::size_t kEngineOrderPiecesPerWorker = 4;

//! Engine canonical order: rows per bucket the top bits of the keys aim at, and the most
//! bits a length spends on them. Buckets of a few dozen rows are sorted in cache; 2^11
//! counters per chunk and length stay within the first-level cache.
constexpr std::size_t kEngineOrderBucketRows = 32;
constexpr std::size_t kEngineOrderDigitBits = 11;

//! Engine canonical order: buckets up to this many rows are sorted by comparison, larger
//! ones (the top bits of the keys are far from uniform on dense data) by counting sorts
//! of digits of at most kEngineOrderRadixBits bits, each of whose passes costs a few
//! thousand steps whatever the bucket's size.
constexpr std::size_t kEngineOrderSmallBucket = 64;
constexpr std::size_t kEngineOrderRadixBits = 11;

//! Passes over the input (the rows' sort and deduplication, the engine's view):
//! occurrences below which a pass runs on the calling thread, where handing pieces to
//! the pool costs more than it saves.
constexpr std::size_t kParallelOccurrences = std::size_t{1} << 16;

//! Engine input view: transaction pieces per worker. Transactions differ in length, and
//! a few pieces each let a worker that finishes early take another.
constexpr std::size_t kEnginePiecesPerWorker = 4;

//! Engine counter: candidates per run handed to a worker; small enough to balance, large
//! enough that rebuilding a run's first prefix in the tree is negligible.
constexpr std::size_t kCountRunCandidates = 256;

//! Rule generation: bases per worker. Bases differ in cost by orders of magnitude (a
//! base's rules grow with 2^length), so more pieces than kChunksPerWorker even them out
//! by stealing; few enough that the per-piece output buffers stay large.
constexpr std::size_t kRuleChunksPerWorker = 16;

//! Rule generation: below this much estimated work (candidate consequents) the bases run
//! on the calling thread.
constexpr uint64_t kRuleParallelWork = 20000;

//! Rule p-values: tables per task. A table costs from a few hundred nanoseconds (a tail
//! far from the mode, a few terms) to tens of microseconds (a tail near the mode of a
//! wide distribution); 4096 of the cheap ones outweigh a task's hand-over many times.
constexpr std::size_t kPValueGrain = 4096;

//! Rule p-values: below this many tables the calling thread computes them all; waking the
//! pool costs more than a second worker saves.
constexpr std::size_t kPValueParallelTables = 16384;

//! Rule improvement: entries a worker keeps of best sub-rule confidences (16 bytes and
//! the table's slack each) before it starts afresh. Rules sharing a consequent reuse
//! them; beyond a few million the hits no longer pay for the memory.
constexpr std::size_t kImprovementMemo = std::size_t{1} << 22;

//! Rule improvement of given rules: rules per task.
constexpr std::size_t kImprovementGrain = 2048;

//! Top rules: transactions scanned per block of items whose pairs are counted at once.
//! A block is split over the pool; the search then takes its items' pairs one by one, its
//! floor rising, so a block may count a few items the floor would have passed by: large
//! enough to keep both workers busy, small enough that this waste stays small.
constexpr std::size_t kTopPairBlock = std::size_t{1} << 17;

//! Top rules: the most items whose pairs are counted all at once, in one pass over the
//! rows (a triangle of 4-byte counters per worker: 2 MB at 1,024 items).
constexpr std::size_t kTopPairMatrixItems = 1024;

//! Top rules: the most extensions above the floor an item may have for its longer sets
//! to be searched between blocks of pairs (before all pairs are counted).
constexpr std::size_t kTopInterleaveExtensions = 32;

//! Top rules: transactions scanned in a round's first block of pairs; each next block
//! scans twice as many, up to kTopPairBlock.
constexpr std::size_t kTopPairFirstBlock = std::size_t{1} << 12;

//! Rule metric columns: rules per task (each a few divisions and a gather of three
//! counts, so a task needs many to outweigh its hand-over).
constexpr std::size_t kRuleMetricGrain = std::size_t{1} << 15;

//! Top rules: below this many transactions to scan, a block is counted on the calling
//! thread.
constexpr std::size_t kTopPairParallelWork = std::size_t{1} << 14;

//! Depth-first miner: nodes between two looks at the stop flag (a power of two). A node
//! costs at least tens of nanoseconds, so a call stops within microseconds; the look,
//! a thread-local and an atomic load, is not worth taking at every node.
constexpr unsigned kEngineStopStride = 64;

//! Closed/maximal filter: rows below which the index is built and probed on the calling
//! thread (a probe costs about one cache miss per item, so a few thousand rows take
//! less than a hand-over to the pool), and rows per pool task above it.
constexpr std::size_t kFilterParallelRows = std::size_t{1} << 14;
constexpr std::size_t kFilterRowGrain = std::size_t{1} << 12;

//! Level-wise miner: candidates per batch. A batch is a task of the pool and the step at
//! which max_itemsets is checked: small enough that a search stops soon after the limit,
//! large enough that starting its walk (one prefix rebuilt) is negligible.
constexpr std::size_t kAprioriBatchCandidates = 4096;

// ---- cost weights of Eclat's choices ----------------------------------------------------

//! Relative cost of one projection step (two table look-ups and an increment) against
//! one merge step; chooses how a child class of position lists is built. Set to weigh
//! the two alike: raising it favours merging, lowering it projection.
constexpr double kEclatProjectStepCost = 1.0;

//! Cost of an AND + popcount of one 64-bit word, in projection steps (a table look-up and
//! an increment at a scattered address); chooses between the two global views. The
//! words are read in sequence, a projection step's table at random, hence well below
//! one; raising it favours the frequent rows, lowering it the global bitsets.
constexpr double kEclatWordCost = 0.25;

// ---- memory access ----------------------------------------------------------------------

//! Eclat's top-level scan: how many of the root's transactions ahead a frequent row is
//! prefetched. Rows are read in the root's order, all over memory; 8 rows at a few
//! nanoseconds each cover a miss to memory.
constexpr std::size_t kEclatRowPrefetch = 8;

//! Pair table: how many of an anchor's transactions ahead the counting loop asks for a
//! row: far enough to cover a memory access, near enough that the line is still cached
//! when it is read.
constexpr std::size_t kPairRowPrefetch = 6;

//! Engine searches on lists: how many of a node's transactions ahead a scan prefetches a
//! row (and twice as far, the row's offset). Rows of a sparse search are scattered over
//! memory and each one read cold costs a miss; 8 rows of a few items cover one.
constexpr std::size_t kEngineRowPrefetch = 8;

//! Blocks of at least this many bytes (large_vector) are mapped with huge-page advice;
//! smaller ones come from the heap, where a mapping of their own would cost more than it
//! saves. A block of one 2 MiB huge page takes one fault instead of 512.
constexpr std::size_t kLargeBytes = std::size_t{2} << 20;

}  // namespace tallisk::tuning
