"""The default speech denoiser: a causal band-gain network built from murel.nn layers.

Per 10 ms hop at 48 kHz (window 960, FFT 1024): the 513 bin magnitudes are pooled into ERB-spaced
bands, divided by their level over the last 320 ms, compressed by x / (x + c) at six knees (a
log-like curve the layer set can express), then a convolutional encoder with two frequency
strides, dilated causal time convolutions with residual additions, a transposed-convolution
decoder with skip connections, and sigmoid band gains interpolated back to the bins. One frame of
look-ahead.

Three sizes: "small" (40 bands, four dilations, about 0.2 s of context, 1 MFLOP per frame: the
first shipped models), "large" (64 bands, six dilations up to 32 frames, about 0.7 s of context)
and "recurrent": the small network with a GRU over the bottleneck, whose state carries what
convolutions forget (who the near talker is, what the noise floor was a second ago). The GRU's
hidden state is spread back to the bottleneck's rows by a strided convolution and added to it;
that convolution starts at zero, so a network warm-started from "small" weights starts out
computing exactly what they computed.
"""

import torch

import murel.nn as mn
from murel import format as fmt

RATE = 48000
FFT_SIZE = 1024
WINDOW_SIZE = 960
HOP_SIZE = 480
KNEES = (0.01, 0.03, 0.1, 0.3, 1.0, 3.0)
SIZES = {
    "small": dict(width=(16, 24, 32), bands=40, dilations=(1, 2, 4, 8)),
    "large": dict(width=(16, 32, 40), bands=64, dilations=(1, 2, 4, 8, 16, 32)),
    "recurrent": dict(width=(16, 24, 32), bands=40, dilations=(1, 2, 4, 8), recurrent=240),
}


class DenoiserNetwork(torch.nn.Module):
    def __init__(self, width=(16, 24, 32), bands=40, dilations=(1, 2, 4, 8), recurrent=0):
        super().__init__()
        w0, w1, w2 = width
        pool, expand = mn.triangular_bands(FFT_SIZE, RATE, bands)
        knees = len(KNEES)
        self.pool = mn.FrequencyRescale(FFT_SIZE // 2 + 1, pool)
        self.level = mn.PreNorm(32)
        self.spread = mn.Conv(1, knees, (1, 1), bias=False)
        self.knee = mn.Norm(knees)
        self.compress = mn.Arithmetic("divide")
        with torch.no_grad():
            self.level.kernel.fill_(1.0 / 32)
            self.spread.weight.fill_(1.0)
            self.knee.scale.fill_(1.0)
            self.knee.offset.copy_(torch.tensor(KNEES))
        for fixed in (self.level.kernel, self.spread.weight, self.knee.scale, self.knee.offset):
            fixed.requires_grad_(False)

        self.e0 = mn.Conv(knees, w0, (3, 3), time_offset=1)
        self.e1 = mn.Conv(w0, w1, (2, 3), frequency_stride=2)
        self.e2 = mn.Conv(w1, w2, (2, 3), frequency_stride=2)
        self.activations = torch.nn.ModuleList(mn.ELU() for _ in range(3 + len(dilations) + 2))
        self.norms = torch.nn.ModuleList(mn.Norm(w, rms=True) for w in (w0, w1, w2))
        self.context = torch.nn.ModuleList(mn.Conv(w2, w2, (2, 3), time_dilation=d) for d in dilations)
        self.context_norms = torch.nn.ModuleList(mn.Norm(w2, rms=True) for _ in dilations)
        self.residuals = torch.nn.ModuleList(mn.Add() for _ in dilations)
        self.recurrent = recurrent
        if recurrent:
            rows = bands // 4  # after the two frequency strides
            if recurrent % rows:
                raise ValueError(f"the GRU's size must be a multiple of the bottleneck's {rows} rows")
            self.gru = mn.GRU(rows * w2, recurrent)
            self.spread_back = mn.Conv(1, w2, (1, recurrent // rows), frequency_stride=recurrent // rows)
            self.gru_add = mn.Add()
            with torch.no_grad():
                self.spread_back.weight.zero_()
        self.skip2, self.skip1, self.skip0 = mn.Concat(), mn.Concat(), mn.Concat()
        self.d2 = mn.TransposedConv(2 * w2, w1, (1, 4), frequency_stride=2)
        self.d1 = mn.TransposedConv(2 * w1, w0, (1, 4), frequency_stride=2)
        self.d0 = mn.Conv(2 * w0, 1, (1, 3))
        with torch.no_grad():
            self.d0.bias.fill_(2.0)  # start close to passing everything
        self.gain = mn.Sigmoid()
        self.expand = mn.FrequencyRescale(bands, expand)

    def forward(self, x):
        act = iter(self.activations)
        bands = self.level(self.pool(x))
        spread = self.spread(bands)
        x = self.compress([self.knee(spread), spread])
        a = self.norms[0](next(act)(self.e0(x)))
        b = self.norms[1](next(act)(self.e1(a)))
        c = self.norms[2](next(act)(self.e2(b)))
        h = c
        for conv, norm, add in zip(self.context, self.context_norms, self.residuals):
            h = add([h, norm(next(act)(conv(h)))])
        if self.recurrent:
            h = self.gru_add([h, self.spread_back(self.gru(h))])
        u = next(act)(self.d2(self.skip2([h, c])))
        v = next(act)(self.d1(self.skip1([u, b])))
        return self.expand(self.gain(self.d0(self.skip0([v, a]))))


def make_model(size="small", output_names=("Speech", "Noise"), model_id=1):
    return mn.SpectralModel(DenoiserNetwork(**SIZES[size]), sample_rate=RATE, fft_size=FFT_SIZE,
                            window_size=WINDOW_SIZE, hop_size=HOP_SIZE, channels=1,
                            input_packing=fmt.PACK_MAGNITUDE, output_packing=fmt.PACK_MAGNITUDE,
                            output_names=output_names, processing_mode=fmt.MASKS, model_id=model_id)


def warm_start_fits(missing, unexpected):
    """Whether weights loaded with strict=False fit this network: only the recurrent part, which
    starts silent, may be missing."""
    return not unexpected and all({"gru", "spread_back"} & set(k.split(".")) for k in missing)
