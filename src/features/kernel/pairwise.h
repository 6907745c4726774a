// numpy's pairwise summation, of an array or of terms computed on the fly.
//
// Internal to the kernel's statistics.  Built without FMA contraction, as
// the whole kernel is: each term and each partial sum is rounded as numpy
// rounds it.
#pragma once

#include <algorithm>
#include <cstdint>

namespace movra::fe_kernel::stats {

// numpy's pairwise_sum (loops_utils.h), whose accumulators are of the array's
// type: 8 accumulators in blocks of at most 128, halves split on a multiple
// of 8 above that.
template <class T>
T pairwise(const T *a, int64_t n) {
    if (n < 8) {
        T res = 0.;
        for (int64_t i = 0; i < n; i++) res += a[i];
        return res;
    }
    if (n <= 128) {
        T r[8];
        for (int j = 0; j < 8; j++) r[j] = a[j];
        int64_t i;
        for (i = 8; i < n - (n % 8); i += 8)
            for (int j = 0; j < 8; j++) r[j] += a[i + j];
        T res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; i++) res += a[i];
        return res;
    }
    int64_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise(a, n2) + pairwise(a + n2, n - n2);
}

// The same summation of K arrays at once, arrays that are never written
// out: term(i, t) puts the i-th element of each into t[0 .. K).  sums[k] is
// exactly what pairwise() gives for the k-th array, several sums of one
// Series then taking a single pass over it.
template <int K, class Term>
void pairwise_terms(int64_t begin, int64_t n, const Term &term, double *sums) {
    double t[K];
    if (n < 8) {
        for (int k = 0; k < K; k++) sums[k] = 0.;
        for (int64_t i = 0; i < n; i++) {
            term(begin + i, t);
            for (int k = 0; k < K; k++) sums[k] += t[k];
        }
        return;
    }
    if (n <= 128) {
        double r[K][8];
        for (int j = 0; j < 8; j++) {
            term(begin + j, t);
            for (int k = 0; k < K; k++) r[k][j] = t[k];
        }
        int64_t i;
        for (i = 8; i < n - (n % 8); i += 8)
            for (int j = 0; j < 8; j++) {
                term(begin + i + j, t);
                for (int k = 0; k < K; k++) r[k][j] += t[k];
            }
        for (int k = 0; k < K; k++)
            sums[k] = ((r[k][0] + r[k][1]) + (r[k][2] + r[k][3])) + ((r[k][4] + r[k][5]) + (r[k][6] + r[k][7]));
        for (; i < n; i++) {
            term(begin + i, t);
            for (int k = 0; k < K; k++) sums[k] += t[k];
        }
        return;
    }
    int64_t n2 = n / 2;
    n2 -= n2 % 8;
    double low[K], high[K];
    pairwise_terms<K>(begin, n2, term, low);
    pairwise_terms<K>(begin + n2, n - n2, term, high);
    for (int k = 0; k < K; k++) sums[k] = low[k] + high[k];
}

// A buffered reduction: the identity 0, plus each block's pairwise sum in turn.
constexpr int64_t kNumpyBuffer = 8192;

template <class T>
T blocked_sum(const T *a, int64_t n) {
    T out = 0.;
    for (int64_t i = 0; i < n; i += kNumpyBuffer) out += pairwise(a + i, std::min(kNumpyBuffer, n - i));
    return out;
}

}  // namespace movra::fe_kernel::stats
