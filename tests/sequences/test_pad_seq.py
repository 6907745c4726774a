"""pad_seq: padding to a fixed length, never shortening."""
import numpy
import pandas
import pytest

import movra


class TestPadding:
    def test_defaults_pad_after_to_256(self):
        out = movra.pad_seq(numpy.arange(200.0))
        assert out.shape == (256,)
        assert (out[:200] == numpy.arange(200.0)).all() and (out[200:] == -1).all()

    def test_pre_pads_before(self):
        out = movra.pad_seq(list(range(250)), padding="pre", value=0)
        assert out.tolist() == [0] * 6 + list(range(250))

    @pytest.mark.parametrize("n", [5, 8])
    def test_full_or_longer_sequences_come_back_as_flat_copies(self, n):
        v = numpy.arange(float(n))
        out = movra.pad_seq(v, 5)
        assert out.tolist() == v.tolist() and out is not v

    def test_empty_sequence_becomes_all_fill(self):
        assert movra.pad_seq([], 3, value=7).tolist() == [7, 7, 7]

    def test_other_padding_returns_the_argument_itself(self):
        v = [1, 2]
        assert movra.pad_seq(v, 10, "middle") is v

    def test_two_dimensional_input_is_counted_by_rows_but_flattened(self):
        v = numpy.ones((3, 2))
        assert movra.pad_seq(v, 5).tolist() == [1.0] * 6 + [-1.0, -1.0]

    def test_series_and_dtype_follow_numpy(self):
        out = movra.pad_seq(pandas.Series([1.5, 2.5]), 3)
        assert out.dtype == numpy.float64 and out.tolist() == [1.5, 2.5, -1.0]
        assert movra.pad_seq([1, 2], 5).tolist() == [1, 2, -1, -1, -1]


class TestBadInput:
    @pytest.mark.parametrize(
        "args, exc",
        [((3,), TypeError), (([1], 2.5), TypeError), (([1], "x"), TypeError), ((None,), TypeError)],
    )
    def test_library_errors_pass_through(self, args, exc):
        with pytest.raises(exc) as excinfo:
            movra.pad_seq(*args)
        assert excinfo.traceback[-1].frame.code.raw.co_name.startswith("movra.pad_seq (")
