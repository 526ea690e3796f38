"""The processor's front and back end as differentiable functions.

`SpectralModel` holds a network with the header values of a model file and runs a waveform
through the same steps as the engine: start-up silence, framing every hop, analysis window,
zero padding in front, FFT, packing, the network, unpacking into masks, mixing of the buses,
inverse FFT, synthesis window and overlap-add. Its output is aligned with its input sample for
sample, as the `murel` tool writes it (latency compensated, tail flushed).
"""

import math

import numpy as np
import torch

from .. import format as fmt
from .graph import Input, layer_names, measure_latency, source_of, topological_order
from .trace import plain_modules


def _window(numOfSamples, sqrt):
    n = np.arange(numOfSamples, dtype=np.float64)
    w = 0.5 - 0.5 * np.cos(2.0 * np.pi * (n + 0.5) / numOfSamples)
    return np.sqrt(w) if sqrt else w


def windows(fft_size, window_size, hop_size):
    """(analysis, synthesis, synthesis_delay) as the engine builds them, float32."""
    w, h = window_size, hop_size
    if w >= 3 * h:
        analysis = _window(w, False).astype(np.float32)
        synthesis = np.zeros(w, dtype=np.float32)
        start = (w - 2 * h) // 2
        synthesis[start:start + 2 * h] = _window(2 * h, False).astype(np.float32)
        synthesis = synthesis / (analysis * np.float32(w))
        return analysis, synthesis.astype(np.float32), 1
    analysis = _window(w, True).astype(np.float32)
    synthesis = (analysis * np.float32(1.0 / fft_size)).astype(np.float32)
    return analysis, synthesis, 0


class SpectralModel(torch.nn.Module):
    """A network with everything the model file's header holds.

    network: a torch module of murel.nn layers taking the packed tensor [batch, frames, rows,
    channels] and returning the output tensor (masks or spectra, packed by output_packing).
    bins: the bins the model sees (numBins); low_bins and decimation for packings 2 and 6.
    output_names: one name per output bus followed by the residual's name.
    """

    def __init__(self, network, sample_rate=48000.0, fft_size=1024, window_size=None, hop_size=512,
                 channels=1, input_packing=fmt.PACK_MAGNITUDE, output_packing=None, bins=None, low_bins=0,
                 decimation=1, output_names=("Processed", "Residual"), processing_mode=fmt.MASKS,
                 output_channels=None, model_id=0):
        super().__init__()
        self.network = network
        self.sample_rate = float(sample_rate)
        self.fft_size = int(fft_size)
        self.window_size = int(window_size if window_size is not None else fft_size)
        self.hop_size = int(hop_size)
        self.channels = int(channels)
        self.output_channels = int(output_channels if output_channels is not None else channels)
        self.input_packing = int(input_packing)
        self.output_packing = int(output_packing if output_packing is not None else input_packing)
        self.bins = int(bins if bins is not None else self.fft_size // 2 + 1)
        self.low_bins = int(low_bins)
        self.decimation = int(decimation)
        self.output_names = tuple(output_names)
        self.processing_mode = int(processing_mode)
        self.model_id = int(model_id)
        self._check()
        analysis, synthesis, delay = windows(self.fft_size, self.window_size, self.hop_size)
        self.register_buffer("analysis_window", torch.from_numpy(analysis))
        self.register_buffer("synthesis_window", torch.from_numpy(synthesis))
        self.synthesis_delay = delay
        self._latency = None

    def _check(self):
        f, w, h = self.fft_size, self.window_size, self.hop_size
        if f < 2 or f & (f - 1) or not 1 <= w <= f or not 1 <= h or w < 2 * h:
            raise fmt.FormatError("the FFT size must be a power of two >= the window size, and the window at least two hops")
        if self.input_packing not in fmt.PACKINGS or self.output_packing not in fmt.PACKINGS:
            raise fmt.FormatError(f"packing codes must be among {fmt.PACKINGS}")
        if not 1 <= self.bins <= f // 2 + 1 or not 0 <= self.low_bins <= self.bins:
            raise fmt.FormatError("bins must lie between 1 and fft_size / 2 + 1, low_bins between 0 and bins")
        if self.input_packing == fmt.PACK_COMPLEX_DECIMATED and self.decimation < 1:
            raise fmt.FormatError("packing 6 needs a decimation of at least 1")
        if len(self.output_names) < 2:
            raise fmt.FormatError("a model needs at least one output bus and the residual's name")

    # Header-derived sizes -------------------------------------------------------------------

    @property
    def num_outputs(self):
        return len(self.output_names) - 1

    @property
    def tensor_rows(self):
        if self.input_packing == fmt.PACK_COMPLEX_DECIMATED:
            return self.low_bins + (self.bins - self.low_bins) // self.decimation
        return self.bins + 3 * self.low_bins

    @property
    def tensor_channels(self):
        complex_packing = self.input_packing in (fmt.PACK_COMPLEX, fmt.PACK_COMPLEX_DECIMATED)
        return 2 * self.channels if complex_packing else self.channels

    def trace(self):
        """(ordered nodes, output node, names) of the network's layer graph. murel.nn layers and
        plain PyTorch (the modules and operations murel.nn.trace supports) both trace."""
        with plain_modules(self.network), torch.no_grad():
            output = self.network(Input(self.tensor_rows, self.tensor_channels))
        if isinstance(output, (tuple, list)):
            raise fmt.FormatError("the network returns several values; return the one output tensor")
        output = source_of(output)
        order = topological_order(output)
        return order, output, layer_names(self.network, order)

    @property
    def latency_frames(self):
        """The model's latency in frames, as the engine measures it. A network that does not
        trace (yet) gets the frames it holds back on a dry run, so that it trains all the same;
        export traces it and says what the engine cannot run."""
        if self._latency is None:
            try:
                order, output, _ = self.trace()
                self._latency = measure_latency(order, output)
            except fmt.FormatError:
                self._latency = self._held_back_frames()
        return self._latency

    def _held_back_frames(self, frames=16):
        x = torch.zeros(1, frames, self.tensor_rows, self.tensor_channels, device=self.analysis_window.device)
        with torch.no_grad():
            out = self.network(x)
        return max(frames - out.shape[1], 0)

    def latency_samples(self, block_size=None):
        """The processor's latency at the model rate for blocks of block_size samples (None: a
        size that is not a multiple of the hop, the larger figure)."""
        h = self.hop_size
        frame = self.synthesis_delay + 2
        if block_size is not None and block_size % h == 0:
            frame -= 1
        return h * frame + self.latency_frames * h

    def flops_per_frame(self):
        order, _, _ = self.trace()
        total = 0.0
        for node in order:
            if node.layer is not None:
                source = node.inputs[0]
                total += node.layer.flops(source.rows, source.channels)
        return total

    # Front end -------------------------------------------------------------------------------

    def analyse(self, wave, extra_frames=0):
        """Spectra [batch, channels, frames, fft_size / 2 + 1] of a waveform [batch, channels,
        samples], framed as the engine frames it, with enough frames to emit every sample."""
        n = wave.shape[-1]
        w, h, f = self.window_size, self.hop_size, self.fft_size
        silence = w - h * (1 + self.synthesis_delay)
        hops = -(-n // h)
        frames = hops + 1 + extra_frames
        total = (frames - 1) * h + w
        padded = torch.nn.functional.pad(wave, (silence, total - silence - n))
        chunks = padded.unfold(-1, w, h) * self.analysis_window
        if f > w:
            chunks = torch.nn.functional.pad(chunks, (f - w, 0))
        return torch.fft.rfft(chunks, n=f)

    def pack(self, spectra):
        """The input tensor [batch, frames, tensor_rows, tensor_channels] of spectra [batch,
        channels, frames, bins]."""
        code, bins, low = self.input_packing, self.bins, self.low_bins
        x = spectra[..., :bins]
        if x.shape[-1] < bins:
            x = torch.nn.functional.pad(x, (0, bins - x.shape[-1]))
        if code == fmt.PACK_COMPLEX:
            parts = torch.stack([x.real, x.imag], dim=-1)  # [B, C, T, bins, 2]
        elif code == fmt.PACK_COMPLEX_DECIMATED:
            d = self.decimation
            groups = (bins - low) // d
            high = x[..., low:low + groups * d].reshape(*x.shape[:-1], groups, d)
            high = torch.sum(high / d, dim=-1)  # a partial last group has no row of its own
            x = torch.cat([x[..., :low], high], dim=-1)
            parts = torch.stack([x.real, x.imag], dim=-1)
        else:
            low_part = x[..., :low]
            rows = torch.stack([low_part.real.clamp(min=0), low_part.imag.clamp(min=0),
                                (-low_part.real).clamp(min=0), (-low_part.imag).clamp(min=0)], dim=-1)
            rows = rows.reshape(*low_part.shape[:-1], 4 * low)
            magnitude = torch.abs(x[..., low:])
            parts = torch.cat([rows, magnitude], dim=-1).unsqueeze(-1)
        # [B, C, T, rows, parts] -> [B, T, rows, C * parts]
        b, c, t, r, p = parts.shape
        return parts.permute(0, 2, 3, 1, 4).reshape(b, t, r, c * p)

    def unpack(self, tensor, num_bins, extrapolate=True):
        """Masks [batch, output channels, frames, num_bins] (complex) of an output tensor [batch,
        frames, rows, columns]: one column group per output channel, bus-major."""
        code, bins, low = self.output_packing, self.bins, self.low_bins
        complex_packing = code in (fmt.PACK_COMPLEX, fmt.PACK_COMPLEX_DECIMATED)
        width = 2 if complex_packing else 1
        b, t, r, columns = tensor.shape
        channels = columns // width
        x = tensor[..., :channels * width].reshape(b, t, r, channels, width).permute(0, 3, 1, 2, 4)
        used = min(bins, num_bins)
        if code == fmt.PACK_COMPLEX:
            values = torch.complex(x[..., :used, 0], x[..., :used, 1])
        elif code == fmt.PACK_COMPLEX_DECIMATED:
            d = self.decimation
            rows_c = torch.complex(x[..., 0], x[..., 1])
            j = torch.arange(used, device=tensor.device)
            high = j >= low
            q = torch.where(high, (j - low) % d, torch.zeros_like(j))
            row = torch.where(high, low + (j - low) // d, j)
            wgt = (q.float() / d).to(tensor.dtype)
            has_next = (j + d < bins) & high
            rows_p = torch.nn.functional.pad(rows_c, (0, 2))
            cur = rows_p[..., row]
            nxt = torch.where(has_next, rows_p[..., row + 1], torch.zeros_like(cur))
            values = torch.where(high, (1 - wgt) * cur + wgt * nxt, cur)
        else:
            low_rows = x[..., :4 * low, 0].reshape(b, channels, t, low, 4) if low else None
            parts = []
            if low:
                parts.append(torch.complex(low_rows[..., 0] - low_rows[..., 2], low_rows[..., 1] - low_rows[..., 3]))
            magnitude = x[..., 4 * low:4 * low + used - low, 0]
            parts.append(torch.complex(magnitude, torch.zeros_like(magnitude)))
            values = torch.cat(parts, dim=-1)[..., :used]
        if num_bins > used:
            level = torch.zeros_like(values[..., 0].real)
            if extrapolate:
                weights = 0.02 * 0.98 ** torch.arange(used - 1, -1, -1, device=tensor.device, dtype=tensor.dtype)
                level = torch.sum(torch.abs(values) * weights, dim=-1)
            tail = torch.complex(level, torch.zeros_like(level)).unsqueeze(-1).expand(*level.shape, num_bins - used)
            values = torch.cat([values, tail], dim=-1)
        return values

    # Back end --------------------------------------------------------------------------------

    def synthesise(self, spectra, num_samples):
        """Overlap-add of spectra [batch, channels, frames, bins] into [batch, channels,
        num_samples], aligned with the analysed waveform."""
        w, h, f, d = self.window_size, self.hop_size, self.fft_size, self.synthesis_delay
        frames = torch.fft.irfft(fold_edges(spectra), n=f, norm="forward")[..., f - w:] * self.synthesis_window
        first = frames[..., :-1, w - h * (1 + d):w - h * d]
        second = frames[..., 1:, w - h * (2 + d):w - h * (1 + d)]
        out = (first + second).reshape(*frames.shape[:-2], -1)
        return out[..., :num_samples]

    @staticmethod
    def match_channels(spectra, channels):
        """The engine's channel matching: any change goes through the average of the channels."""
        have = spectra.shape[1]
        if have == channels:
            return spectra
        mono = spectra if have < 2 else spectra.mean(dim=1, keepdim=True)
        return mono if channels < 2 else mono.expand(-1, channels, *mono.shape[2:])

    def bus_masks(self, wave):
        """(input spectra, masks per bus [batch, buses, channels, frames, bins]) of a waveform
        [batch, channels, samples]."""
        spectra = self.analyse(wave, extra_frames=self.latency_frames)
        model_input = self.match_channels(spectra, self.channels)
        out = self.network(self.pack(model_input))
        masks = self.unpack(out, spectra.shape[-1])  # [B, outputs x channels, frames, bins]
        b, _, frames, bins = masks.shape
        masks = masks[:, :self.num_outputs * self.output_channels]
        masks = masks.reshape(b, self.num_outputs, self.output_channels, frames, bins)
        return spectra, masks

    def forward(self, wave, gains=None):
        """Processes a waveform [batch, samples] or [batch, channels, samples] as the engine does
        with sensitivity 0. gains: linear gain per bus, the residual last (default: every bus 1
        and the residual 0, which removes what the model did not claim)."""
        squeeze = wave.dim() == 2
        if squeeze:
            wave = wave.unsqueeze(1)
        gains = list(gains) if gains is not None else [1.0] * self.num_outputs + [0.0]
        if len(gains) != self.num_outputs + 1:
            raise ValueError(f"the model has {self.num_outputs + 1} buses")
        spectra, masks = self.bus_masks(wave)
        channels = spectra.shape[1]
        frames_needed = spectra.shape[2] - self.latency_frames
        masks = masks[..., :frames_needed, :]
        if masks.shape[-2] < frames_needed:
            raise ValueError("the network delivered fewer frames than its latency promises")
        x = spectra[..., :frames_needed, :]
        buses = [self.match_channels(masks[:, i], channels) for i in range(self.num_outputs)]
        total = sum(buses)
        if self.processing_mode == fmt.MASKS:
            weighted = sum(g * m for g, m in zip(gains, buses)) + gains[-1] * (1 - total)
            out_spectra = weighted * x
        else:
            out_spectra = sum(g * m for g, m in zip(gains, buses)) + gains[-1] * (x - total)
        out = self.synthesise(out_spectra, wave.shape[-1])
        return out.squeeze(1) if squeeze else out


def fold_edges(spectra):
    """The engine's real inverse transform takes the imaginary parts of the DC and Nyquist bins
    into account: it equals the usual inverse with DC = Re X[0] - Im X[N/2] and Nyquist =
    Re X[N/2] - Im X[0]. Real masks never produce such parts; complex ones do."""
    dc, nyquist = spectra[..., :1], spectra[..., -1:]
    new_dc = torch.complex(dc.real - nyquist.imag, torch.zeros_like(dc.real))
    new_nyquist = torch.complex(nyquist.real - dc.imag, torch.zeros_like(dc.real))
    return torch.cat([new_dc, spectra[..., 1:-1], new_nyquist], dim=-1)


def si_sdr(estimate, reference, eps=1e-8):
    """Scale-invariant signal-to-distortion ratio in dB over the last axis."""
    reference = reference - reference.mean(dim=-1, keepdim=True)
    estimate = estimate - estimate.mean(dim=-1, keepdim=True)
    scale = torch.sum(estimate * reference, dim=-1, keepdim=True) / (torch.sum(reference ** 2, dim=-1, keepdim=True) + eps)
    target = scale * reference
    noise = estimate - target
    return 10 * torch.log10((torch.sum(target ** 2, dim=-1) + eps) / (torch.sum(noise ** 2, dim=-1) + eps))


def band_centres(fft_size, sample_rate, num_bands):
    """Centre bins of bands equally spaced on the ERB-rate scale from 0 Hz to the Nyquist
    frequency, at least one bin apart."""
    bins = fft_size // 2 + 1

    def erb(hz):
        return 21.4 * math.log10(1 + 0.00437 * hz)

    def inverse(e):
        return (10 ** (e / 21.4) - 1) / 0.00437

    top = erb(sample_rate / 2)
    centres = [int(round(inverse(top * i / (num_bands - 1)) * fft_size / sample_rate)) for i in range(num_bands)]
    for i in range(1, num_bands):
        centres[i] = max(centres[i], centres[i - 1] + 1)
    if centres[-1] > bins - 1:
        raise ValueError(f"{num_bands} bands do not fit {bins} bins")
    return centres


def triangular_bands(fft_size, sample_rate, num_bands):
    """Pooling of bins into ERB-spaced triangular bands, and the interpolation from bands back to
    bins: (pool, expand), each a list of (start, weights) for FrequencyRescale. Each band is the
    weighted mean of its bins; each bin takes the two bands around it, weights summing to 1."""
    bins = fft_size // 2 + 1
    centres = band_centres(fft_size, sample_rate, num_bands)
    hats = np.zeros((num_bands, bins))
    for m, c in enumerate(centres):
        hats[m, c] = 1.0
        if m > 0:
            left = centres[m - 1]
            hats[m, left + 1:c] = (np.arange(left + 1, c) - left) / (c - left)
        else:
            hats[m, :c] = 1.0
        if m + 1 < num_bands:
            right = centres[m + 1]
            hats[m, c + 1:right] = (right - np.arange(c + 1, right)) / (right - c)
        else:
            hats[m, c + 1:] = 1.0
    pool = hats / hats.sum(axis=1, keepdims=True)

    def runs(rows):
        out = []
        for row in rows:
            nz = np.nonzero(row)[0]
            start, end = int(nz[0]), int(nz[-1]) + 1
            out.append((start, row[start:end].astype(np.float32)))
        return out

    return runs(pool), runs(hats.T)
