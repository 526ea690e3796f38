"""Scores of the quality benchmark: SI-SDR, SNR, STOI, and the delay of a system's output.

STOI follows Taal, Hendriks, Heusdens and Jensen, "An Algorithm for Intelligibility Prediction of
Time-Frequency Weighted Noisy Speech" (IEEE TASLP 19(7), 2011): 10 kHz, 256-sample Hann frames
with half overlap and 512-point transforms, frames more than 40 dB below the loudest clean frame
removed, 15 one-third octave bands from 150 Hz, 30-frame (384 ms) segments, the processed envelope
scaled to the clean one and clipped at -15 dB signal-to-distortion ratio, then the correlation of
the envelopes averaged over bands and segments.
"""

import numpy as np
import scipy.fft
from scipy.signal import resample_poly

STOI_RATE = 10000
STOI_FRAME = 256
STOI_FFT = 512
STOI_BANDS = 15
STOI_LOWEST_CENTRE = 150.0
STOI_SEGMENT = 30
STOI_BETA_DB = -15.0
STOI_DYNAMIC_RANGE_DB = 40.0

_TINY = 1e-20


def si_sdr(reference, estimate):
    """Scale-invariant signal-to-distortion ratio in dB (both signals made zero-mean)."""
    reference = np.asarray(reference, np.float64) - np.mean(reference)
    estimate = np.asarray(estimate, np.float64) - np.mean(estimate)
    scale = np.dot(estimate, reference) / (np.dot(reference, reference) + _TINY)
    target = scale * reference
    residual = estimate - target
    return 10.0 * np.log10((np.dot(target, target) + _TINY) / (np.dot(residual, residual) + _TINY))


def snr(reference, estimate):
    """Plain signal-to-noise ratio in dB: everything that differs from the reference is noise."""
    reference = np.asarray(reference, np.float64)
    error = np.asarray(estimate, np.float64) - reference
    return 10.0 * np.log10((np.dot(reference, reference) + _TINY) / (np.dot(error, error) + _TINY))


def _hann(length):
    # The symmetric window of length + 2 without its zero ends, as in the published reference.
    return np.hanning(length + 2)[1:-1]


def _frames(signal, length, hop):
    # Frames start at 0, hop, ... before len - length, as in the published reference.
    starts = np.arange(0, len(signal) - length, hop)
    index = np.arange(length)[None, :] + starts[:, None]
    return signal[index]


def _remove_silent_frames(clean, processed):
    hop = STOI_FRAME // 2
    window = _hann(STOI_FRAME)
    clean_frames = _frames(clean, STOI_FRAME, hop) * window
    processed_frames = _frames(processed, STOI_FRAME, hop) * window
    energy = 20.0 * np.log10(np.linalg.norm(clean_frames, axis=1) + np.finfo(np.float64).eps)
    keep = energy > np.max(energy) - STOI_DYNAMIC_RANGE_DB
    clean_frames, processed_frames = clean_frames[keep], processed_frames[keep]

    # Overlap-add of the kept frames, one after the other.
    length = (len(clean_frames) - 1) * hop + STOI_FRAME if len(clean_frames) else 0
    clean_out, processed_out = np.zeros(length), np.zeros(length)
    for i in range(len(clean_frames)):
        clean_out[i * hop : i * hop + STOI_FRAME] += clean_frames[i]
        processed_out[i * hop : i * hop + STOI_FRAME] += processed_frames[i]
    return clean_out, processed_out


def _third_octave_matrix():
    frequencies = np.linspace(0, STOI_RATE, STOI_FFT + 1)[: STOI_FFT // 2 + 1]
    k = np.arange(STOI_BANDS)
    low = STOI_LOWEST_CENTRE * 2.0 ** ((2 * k - 1) / 6.0)
    high = STOI_LOWEST_CENTRE * 2.0 ** ((2 * k + 1) / 6.0)
    matrix = np.zeros((STOI_BANDS, len(frequencies)))
    for band in range(STOI_BANDS):
        first = np.argmin(np.square(frequencies - low[band]))
        last = np.argmin(np.square(frequencies - high[band]))
        matrix[band, first:last] = 1.0
    return matrix


_BANDS = _third_octave_matrix()


def _band_envelopes(signal):
    frames = _frames(signal, STOI_FRAME, STOI_FRAME // 2) * _hann(STOI_FRAME)
    power = np.square(np.abs(np.fft.rfft(frames, STOI_FFT, axis=1)))
    return np.sqrt(power @ _BANDS.T).T  # bands x frames


def stoi(clean, processed, rate):
    """Short-time objective intelligibility of processed against clean, about 0 to 1."""
    clean = np.asarray(clean, np.float64)
    processed = np.asarray(processed, np.float64)
    if len(clean) != len(processed):
        raise ValueError("stoi: the signals differ in length")
    if rate != STOI_RATE:
        divisor = np.gcd(int(rate), STOI_RATE)
        clean = resample_poly(clean, STOI_RATE // divisor, int(rate) // divisor)
        processed = resample_poly(processed, STOI_RATE // divisor, int(rate) // divisor)
    clean, processed = _remove_silent_frames(clean, processed)
    x = _band_envelopes(clean)
    y = _band_envelopes(processed)
    if x.shape[1] < STOI_SEGMENT:
        raise ValueError("stoi: less than one 384 ms segment of speech")

    # All segments of 30 frames, one frame apart: segments x bands x frames.
    x = np.lib.stride_tricks.sliding_window_view(x, STOI_SEGMENT, axis=1).transpose(1, 0, 2)
    y = np.lib.stride_tricks.sliding_window_view(y, STOI_SEGMENT, axis=1).transpose(1, 0, 2)
    scale = np.linalg.norm(x, axis=2, keepdims=True) / (np.linalg.norm(y, axis=2, keepdims=True) + _TINY)
    y = np.minimum(y * scale, x * (1.0 + 10.0 ** (-STOI_BETA_DB / 20.0)))
    x = x - np.mean(x, axis=2, keepdims=True)
    y = y - np.mean(y, axis=2, keepdims=True)
    correlation = np.sum(x * y, axis=2) / (np.linalg.norm(x, axis=2) * np.linalg.norm(y, axis=2) + _TINY)
    return float(np.mean(correlation))


def estimate_delay(reference, output, max_lag, around=0):
    """Lag in samples (positive: output late), within max_lag of around, that best aligns output
    with reference by cross-correlation."""
    reference = np.asarray(reference, np.float64)
    output = np.asarray(output, np.float64)
    lags = np.arange(around - max_lag, around + max_lag + 1)
    if len(lags) <= 16:
        correlation = [np.dot(shift(output, lag), reference) for lag in lags]
        return int(lags[np.argmax(correlation)])
    # Zero padding by the largest lag keeps the circular correlation free of wrap-around.
    size = scipy.fft.next_fast_len(max(len(reference), len(output)) + int(np.max(np.abs(lags))))
    spectrum = scipy.fft.rfft(output, size) * np.conj(scipy.fft.rfft(reference, size))
    correlation = scipy.fft.irfft(spectrum, size)
    return int(lags[np.argmax(correlation[lags % size])])


def shift(signal, lag):
    """signal moved earlier by lag samples (later when negative), zero-filled, same length."""
    out = np.zeros_like(signal)
    if lag >= 0:
        out[: len(signal) - lag] = signal[lag:]
    else:
        out[-lag:] = signal[: len(signal) + lag]
    return out
