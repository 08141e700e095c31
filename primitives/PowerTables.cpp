// The baseline copy of the power routine's constants. Every value is the
// correctly rounded result of the formula next to its field in PowerElement.h
// (computed with 300-bit arithmetic); tests recompute them.
#include "primitives/PowerElement.h"

alignas(16) const VecPowF32TableSet VecPowF32Tables = {
    0x1p44,
    {
    {0.0, 0x1.0000000000000p+0},  // k = 0
    {0x1.ff00aa2b10bc0p-9, 0x1.fe01fe01fe020p-1},  // k = 1
    {0x1.fe02a6b106789p-8, 0x1.fc07f01fc07f0p-1},  // k = 2
    {0x1.7dc475f810a77p-7, 0x1.fa11caa01fa12p-1},  // k = 3
    {0x1.fc0a8b0fc03e4p-7, 0x1.f81f81f81f820p-1},  // k = 4
    {0x1.3cea44346a575p-6, 0x1.f6310aca0dbb5p-1},  // k = 5
    {0x1.7b91b07d5b11bp-6, 0x1.f44659e4a4271p-1},  // k = 6
    {0x1.b9fc027af9198p-6, 0x1.f25f644230ab5p-1},  // k = 7
    {0x1.f829b0e783300p-6, 0x1.f07c1f07c1f08p-1},  // k = 8
    {0x1.1b0d98923d980p-5, 0x1.ee9c7f8458e02p-1},  // k = 9
    {0x1.39e87b9febd60p-5, 0x1.ecc07b301ecc0p-1},  // k = 10
    {0x1.58a5bafc8e4d5p-5, 0x1.eae807aba01ebp-1},  // k = 11
    {0x1.77458f632dcfcp-5, 0x1.e9131abf0b767p-1},  // k = 12
    {0x1.95c830ec8e3ebp-5, 0x1.e741aa59750e4p-1},  // k = 13
    {0x1.b42dd711971bfp-5, 0x1.e573ac901e574p-1},  // k = 14
    {0x1.d276b8adb0b52p-5, 0x1.e3a9179dc1a73p-1},  // k = 15
    {0x1.f0a30c01162a6p-5, 0x1.e1e1e1e1e1e1ep-1},  // k = 16
    {0x1.075983598e471p-4, 0x1.e01e01e01e01ep-1},  // k = 17
    {0x1.16536eea37ae1p-4, 0x1.de5d6e3f8868ap-1},  // k = 18
    {0x1.253f62f0a1417p-4, 0x1.dca01dca01dcap-1},  // k = 19
    {0x1.341d7961bd1d1p-4, 0x1.dae6076b981dbp-1},  // k = 20
    {0x1.42edcbea646f0p-4, 0x1.d92f2231e7f8ap-1},  // k = 21
    {0x1.51b073f06183fp-4, 0x1.d77b654b82c34p-1},  // k = 22
    {0x1.60658a93750c4p-4, 0x1.d5cac807572b2p-1},  // k = 23
    {0x1.6f0d28ae56b4cp-4, 0x1.d41d41d41d41dp-1},  // k = 24
    {0x1.7da766d7b12cdp-4, 0x1.d272ca3fc5b1ap-1},  // k = 25
    {0x1.8c345d6319b21p-4, 0x1.d0cb58f6ec074p-1},  // k = 26
    {0x1.9ab42462033adp-4, 0x1.cf26e5c44bfc6p-1},  // k = 27
    {0x1.a926d3a4ad563p-4, 0x1.cd85689039b0bp-1},  // k = 28
    {0x1.b78c82bb0eda1p-4, 0x1.cbe6d9601cbe7p-1},  // k = 29
    {0x1.c5e548f5bc743p-4, 0x1.ca4b3055ee191p-1},  // k = 30
    {0x1.d4313d66cb35dp-4, 0x1.c8b265afb8a42p-1},  // k = 31
    {0x1.e27076e2af2e6p-4, 0x1.c71c71c71c71cp-1},  // k = 32
    {0x1.f0a30c01162a6p-4, 0x1.c5894d10d4986p-1},  // k = 33
    {0x1.fec9131dbeabbp-4, 0x1.c3f8f01c3f8f0p-1},  // k = 34
    {0x1.0671512ca596ep-3, 0x1.c26b5392ea01cp-1},  // k = 35
    {0x1.0d77e7cd08e59p-3, 0x1.c0e070381c0e0p-1},  // k = 36
    {0x1.14785846742acp-3, 0x1.bf583ee868d8bp-1},  // k = 37
    {0x1.1b72ad52f67a0p-3, 0x1.bdd2b899406f7p-1},  // k = 38
    {0x1.2266f190a5acbp-3, 0x1.bc4fd65883e7bp-1},  // k = 39
    {0x1.29552f81ff523p-3, 0x1.bacf914c1bad0p-1},  // k = 40
    {0x1.303d718e47fd3p-3, 0x1.b951e2b18ff23p-1},  // k = 41
    {0x1.371fc201e8f74p-3, 0x1.b7d6c3dda338bp-1},  // k = 42
    {0x1.3dfc2b0ecc62ap-3, 0x1.b65e2e3beee05p-1},  // k = 43
    {0x1.44d2b6ccb7d1ep-3, 0x1.b4e81b4e81b4fp-1},  // k = 44
    {0x1.4ba36f39a55e5p-3, 0x1.b37484ad806cep-1},  // k = 45
    {0x1.526e5e3a1b438p-3, 0x1.b2036406c80d9p-1},  // k = 46
    {0x1.59338d9982086p-3, 0x1.b094b31d922a4p-1},  // k = 47
    {0x1.5ff3070a793d4p-3, 0x1.af286bca1af28p-1},  // k = 48
    {0x1.66acd4272ad51p-3, 0x1.adbe87f94905ep-1},  // k = 49
    {0x1.6d60fe719d21dp-3, 0x1.ac5701ac5701bp-1},  // k = 50
    {0x1.740f8f54037a5p-3, 0x1.aaf1d2f87ebfdp-1},  // k = 51
    {0x1.7ab890210d909p-3, 0x1.a98ef606a63bep-1},  // k = 52
    {0x1.815c0a14357ebp-3, 0x1.a82e65130e159p-1},  // k = 53
    {0x1.87fa06520c911p-3, 0x1.a6d01a6d01a6dp-1},  // k = 54
    {0x1.8e928de886d41p-3, 0x1.a574107688a4ap-1},  // k = 55
    {0x1.9525a9cf456b4p-3, 0x1.a41a41a41a41ap-1},  // k = 56
    {0x1.9bb362e7dfb83p-3, 0x1.a2c2a87c51ca0p-1},  // k = 57
    {0x1.a23bc1fe2b563p-3, 0x1.a16d3f97a4b02p-1},  // k = 58
    {0x1.a8becfc882f19p-3, 0x1.a01a01a01a01ap-1},  // k = 59
    {0x1.af3c94e80bff3p-3, 0x1.9ec8e951033d9p-1},  // k = 60
    {0x1.b5b519e8fb5a4p-3, 0x1.9d79f176b682dp-1},  // k = 61
    {0x1.bc286742d8cd6p-3, 0x1.9c2d14ee4a102p-1},  // k = 62
    {0x1.c2968558c18c1p-3, 0x1.9ae24ea5510dap-1},  // k = 63
    {0x1.c8ff7c79a9a22p-3, 0x1.999999999999ap-1},  // k = 64
    {0x1.cf6354e09c5dcp-3, 0x1.9852f0d8ec0ffp-1},  // k = 65
    {0x1.d5c216b4fbb91p-3, 0x1.970e4f80cb872p-1},  // k = 66
    {0x1.dc1bca0abec7dp-3, 0x1.95cbb0be377aep-1},  // k = 67
    {0x1.e27076e2af2e6p-3, 0x1.948b0fcd6e9e0p-1},  // k = 68
    {0x1.e8c0252aa5a60p-3, 0x1.934c67f9b2ce6p-1},  // k = 69
    {0x1.ef0adcbdc5936p-3, 0x1.920fb49d0e229p-1},  // k = 70
    {0x1.f550a564b7b37p-3, 0x1.90d4f120190d5p-1},  // k = 71
    {0x1.fb9186d5e3e2bp-3, 0x1.8f9c18f9c18fap-1},  // k = 72
    {0x1.00e6c45ad501dp-2, 0x1.8e6527af1373fp-1},  // k = 73
    {0x1.0402594b4d041p-2, 0x1.8d3018d3018d3p-1},  // k = 74
    {0x1.071b85fcd590dp-2, 0x1.8bfce8062ff3ap-1},  // k = 75
    {0x1.0a324e27390e3p-2, 0x1.8acb90f6bf3aap-1},  // k = 76
    {0x1.0d46b579ab74bp-2, 0x1.899c0f601899cp-1},  // k = 77
    {0x1.1058bf9ae4ad5p-2, 0x1.886e5f0abb04ap-1},  // k = 78
    {0x1.136870293a8b0p-2, 0x1.87427bcc092b9p-1},  // k = 79
    {0x1.1675cababa60ep-2, 0x1.8618618618618p-1},  // k = 80
    {0x1.1980d2dd4236fp-2, 0x1.84f00c2780614p-1},  // k = 81
    {0x1.1c898c16999fbp-2, 0x1.83c977ab2beddp-1},  // k = 82
    {0x1.1f8ff9e48a2f3p-2, 0x1.82a4a0182a4a0p-1},  // k = 83
    {0x1.22941fbcf7966p-2, 0x1.8181818181818p-1},  // k = 84
    {0x1.2596010df763ap-2, 0x1.8060180601806p-1},  // k = 85
    {0x1.2895a13de86a3p-2, 0x1.7f405fd017f40p-1},  // k = 86
    {0x1.2b9303ab89d25p-2, 0x1.7e225515a4f1dp-1},  // k = 87
    {0x1.2e8e2bae11d31p-2, 0x1.7d05f417d05f4p-1},  // k = 88
    {0x1.31871c9544185p-2, 0x1.7beb3922e017cp-1},  // k = 89
    {0x1.347dd9a987d55p-2, 0x1.7ad2208e0ecc3p-1},  // k = 90
    {0x1.3772662bfd85bp-2, 0x1.79baa6bb6398bp-1},  // k = 91
    {0x1.3a64c556945eap-2, 0x1.78a4c8178a4c8p-1},  // k = 92
    {0x1.3d54fa5c1f710p-2, 0x1.77908119ac60dp-1},  // k = 93
    {0x1.404308686a7e4p-2, 0x1.767dce434a9b1p-1},  // k = 94
    {0x1.432ef2a04e814p-2, 0x1.756cac201756dp-1},  // k = 95
    {0x1.4618bc21c5ec2p-2, 0x1.745d1745d1746p-1},  // k = 96
    {0x1.49006804009d1p-2, 0x1.734f0c541fe8dp-1},  // k = 97
    {0x1.4be5f957778a1p-2, 0x1.724287f46debcp-1},  // k = 98
    {0x1.4ec973260026ap-2, 0x1.713786d9c7c09p-1},  // k = 99
    {0x1.51aad872df82dp-2, 0x1.702e05c0b8170p-1},  // k = 100
    {0x1.548a2c3add263p-2, 0x1.6f26016f26017p-1},  // k = 101
    {0x1.5767717455a6cp-2, 0x1.6e1f76b4337c7p-1},  // k = 102
    {0x1.5a42ab0f4cfe2p-2, 0x1.6d1a62681c861p-1},  // k = 103
    {0x1.5d1bdbf5809cap-2, 0x1.6c16c16c16c17p-1},  // k = 104
    {0x1.5ff3070a793d4p-2, 0x1.6b1490aa31a3dp-1},  // k = 105
    {0x1.62c82f2b9c795p-2, 0x1.6a13cd1537290p-1},  // k = 106
    {0x1.659b57303e1f3p-2, 0x1.691473a88d0c0p-1},  // k = 107
    {0x1.686c81e9b14afp-2, 0x1.6816816816817p-1},  // k = 108
    {0x1.6b3bb2235943ep-2, 0x1.6719f3601671ap-1},  // k = 109
    {0x1.6e08eaa2ba1e4p-2, 0x1.661ec6a5122f9p-1},  // k = 110
    {0x1.70d42e2789236p-2, 0x1.6524f853b4aa3p-1},  // k = 111
    {0x1.739d7f6bbd007p-2, 0x1.642c8590b2164p-1},  // k = 112
    {0x1.7664e1239dbcfp-2, 0x1.63356b88ac0dep-1},  // k = 113
    {0x1.792a55fdd47a2p-2, 0x1.623fa77016240p-1},  // k = 114
    {0x1.7bede0a37afc0p-2, 0x1.614b36831ae94p-1},  // k = 115
    {0x1.7eaf83b82afc3p-2, 0x1.6058160581606p-1},  // k = 116
    {0x1.816f41da0d496p-2, 0x1.5f66434292dfcp-1},  // k = 117
    {0x1.842d1da1e8b17p-2, 0x1.5e75bb8d015e7p-1},  // k = 118
    {0x1.86e919a330ba0p-2, 0x1.5d867c3ece2a5p-1},  // k = 119
    {0x1.89a3386c1425bp-2, 0x1.5c9882b931057p-1},  // k = 120
    {0x1.8c5b7c858b48bp-2, 0x1.5babcc647fa91p-1},  // k = 121
    {0x1.8f11e873662c7p-2, 0x1.5ac056b015ac0p-1},  // k = 122
    {0x1.91c67eb45a83ep-2, 0x1.59d61f123ccaap-1},  // k = 123
    {0x1.947941c2116fbp-2, 0x1.58ed2308158edp-1},  // k = 124
    {0x1.972a341135158p-2, 0x1.5805601580560p-1},  // k = 125
    {0x1.99d958117e08bp-2, 0x1.571ed3c506b3ap-1},  // k = 126
    {0x1.9c86b02dc0863p-2, 0x1.56397ba7c52e2p-1},  // k = 127
    {0x1.9f323ecbf984cp-2, 0x1.5555555555555p-1},  // k = 128
    {0x1.a1dc064d5b995p-2, 0x1.54725e6bb82fep-1},  // k = 129
    {0x1.a484090e5bb0ap-2, 0x1.5390948f40febp-1},  // k = 130
    {0x1.a72a4966bd9eap-2, 0x1.52aff56a8054bp-1},  // k = 131
    {0x1.a9cec9a9a084ap-2, 0x1.51d07eae2f815p-1},  // k = 132
    {0x1.ac718c258b0e4p-2, 0x1.50f22e111c4c5p-1},  // k = 133
    {0x1.af1293247786bp-2, 0x1.5015015015015p-1},  // k = 134
    {0x1.b1b1e0ebdfc5bp-2, 0x1.4f38f62dd4c9bp-1},  // k = 135
    {0x1.b44f77bcc8f63p-2, 0x1.4e5e0a72f0539p-1},  // k = 136
    {0x1.b6eb59d3cf35ep-2, 0x1.4d843bedc2c4cp-1},  // k = 137
    {0x1.b9858969310fbp-2, 0x1.4cab88725af6ep-1},  // k = 138
    {0x1.bc1e08b0dad0ap-2, 0x1.4bd3edda68fe1p-1},  // k = 139
    {0x1.beb4d9da71b7cp-2, 0x1.4afd6a052bf5bp-1},  // k = 140
    {0x1.c149ff115f027p-2, 0x1.4a27fad76014ap-1},  // k = 141
    {0x1.c3dd7a7cdad4dp-2, 0x1.49539e3b2d067p-1},  // k = 142
    {0x1.c66f4e3ff6ff8p-2, 0x1.4880522014880p-1},  // k = 143
    {0x1.c8ff7c79a9a22p-2, 0x1.47ae147ae147bp-1},  // k = 144
    {0x1.cb8e0744d7acap-2, 0x1.46dce34596066p-1},  // k = 145
    {0x1.ce1af0b85f3ebp-2, 0x1.460cbc7f5cf9ap-1},  // k = 146
    {0x1.d0a63ae721e64p-2, 0x1.453d9e2c776cap-1},  // k = 147
    {0x1.d32fe7e00ebd5p-2, 0x1.446f86562d9fbp-1},  // k = 148
    {0x1.d5b7f9ae2c684p-2, 0x1.43a2730abee4dp-1},  // k = 149
    {0x1.d83e7258a2f3ep-2, 0x1.42d6625d51f87p-1},  // k = 150
    {0x1.dac353e2c5954p-2, 0x1.420b5265e5951p-1},  // k = 151
    {0x1.dd46a04c1c4a1p-2, 0x1.4141414141414p-1},  // k = 152
    {0x1.dfc859906d5b5p-2, 0x1.40782d10e6566p-1},  // k = 153
    {0x1.e24881a7c6c26p-2, 0x1.3fb013fb013fbp-1},  // k = 154
    {0x1.e4c71a8687704p-2, 0x1.3ee8f42a5af07p-1},  // k = 155
    {0x1.e744261d68788p-2, 0x1.3e22cbce4a902p-1},  // k = 156
    {0x1.e9bfa659861f5p-2, 0x1.3d5d991aa75c6p-1},  // k = 157
    {0x1.ec399d2468cc0p-2, 0x1.3c995a47babe7p-1},  // k = 158
    {0x1.eeb20c640ddf4p-2, 0x1.3bd60d9232955p-1},  // k = 159
    {0x1.f128f5faf06edp-2, 0x1.3b13b13b13b14p-1},  // k = 160
    {0x1.f39e5bc811e5cp-2, 0x1.3a524387ac822p-1},  // k = 161
    {0x1.f6123fa7028acp-2, 0x1.3991c2c187f63p-1},  // k = 162
    {0x1.f884a36fe9ec2p-2, 0x1.38d22d366088ep-1},  // k = 163
    {0x1.faf588f78f31fp-2, 0x1.3813813813814p-1},  // k = 164
    {0x1.fd64f20f61572p-2, 0x1.3755bd1c945eep-1},  // k = 165
    {0x1.ffd2e0857f498p-2, 0x1.3698df3de0748p-1},  // k = 166
    {0x1.011fab125ff8ap-1, 0x1.35dce5f9f2af8p-1},  // k = 167
    {0x1.02552a5a5d0ffp-1, 0x1.3521cfb2b78c1p-1},  // k = 168
    {0x1.0389eefce633bp-1, 0x1.34679ace01346p-1},  // k = 169
    {0x1.04bdf9da926d2p-1, 0x1.33ae45b57bcb2p-1},  // k = 170
    {0x1.05f14bd26459cp-1, 0x1.32f5ced6a1dfap-1},  // k = 171
    {0x1.0723e5c1cdf40p-1, 0x1.323e34a2b10bfp-1},  // k = 172
    {0x1.0855c884b450ep-1, 0x1.3187758e9ebb6p-1},  // k = 173
    {0x1.0986f4f573521p-1, 0x1.30d190130d190p-1},  // k = 174
    {0x1.0ab76bece14d2p-1, 0x1.301c82ac40260p-1},  // k = 175
    {0x1.0be72e4252a83p-1, 0x1.2f684bda12f68p-1},  // k = 176
    {0x1.0d163ccb9d6b8p-1, 0x1.2eb4ea1fed14bp-1},  // k = 177
    {0x1.0e44985d1cc8cp-1, 0x1.2e025c04b8097p-1},  // k = 178
    {0x1.0f7241c9b497dp-1, 0x1.2d50a012d50a0p-1},  // k = 179
    {0x1.109f39e2d4c97p-1, 0x1.2c9fb4d812ca0p-1},  // k = 180
    {0x1.11cb81787ccf8p-1, 0x1.2bef98e5a3711p-1},  // k = 181
    {0x1.12f719593efbcp-1, 0x1.2b404ad012b40p-1},  // k = 182
    {0x1.1422025243d45p-1, 0x1.2a91c92f3c105p-1},  // k = 183
    {0x1.154c3d2f4d5eap-1, 0x1.29e4129e4129ep-1},  // k = 184
    {0x1.1675cababa60ep-1, 0x1.293725bb804a5p-1},  // k = 185
    {0x1.179eabbd899a1p-1, 0x1.288b01288b013p-1},  // k = 186
    {0x1.18c6e0ff5cf06p-1, 0x1.27dfa38a1ce4dp-1},  // k = 187
    {0x1.19ee6b467c96fp-1, 0x1.27350b8812735p-1},  // k = 188
    {0x1.1b154b57da29fp-1, 0x1.268b37cd60127p-1},  // k = 189
    {0x1.1c3b81f713c25p-1, 0x1.25e22708092f1p-1},  // k = 190
    {0x1.1d610fe677003p-1, 0x1.2539d7e9177b2p-1},  // k = 191
    {0x1.1e85f5e7040d0p-1, 0x1.2492492492492p-1},  // k = 192
    {0x1.1faa34b87094cp-1, 0x1.23eb79717605bp-1},  // k = 193
    {0x1.20cdcd192ab6ep-1, 0x1.23456789abcdfp-1},  // k = 194
    {0x1.21f0bfc65beecp-1, 0x1.22a0122a0122ap-1},  // k = 195
    {0x1.23130d7bebf43p-1, 0x1.21fb78121fb78p-1},  // k = 196
    {0x1.2434b6f483934p-1, 0x1.21579804855e6p-1},  // k = 197
    {0x1.2555bce98f7cbp-1, 0x1.20b470c67c0d9p-1},  // k = 198
    {0x1.26762013430e0p-1, 0x1.2012012012012p-1},  // k = 199
    {0x1.2795e1289b11bp-1, 0x1.1f7047dc11f70p-1},  // k = 200
    {0x1.28b500df60783p-1, 0x1.1ecf43c7fb84cp-1},  // k = 201
    {0x1.29d37fec2b08bp-1, 0x1.1e2ef3b3fb874p-1},  // k = 202
    {0x1.2af15f02640adp-1, 0x1.1d8f5672e4abdp-1},  // k = 203
    {0x1.2c0e9ed448e8cp-1, 0x1.1cf06ada2811dp-1},  // k = 204
    {0x1.2d2b4012edc9ep-1, 0x1.1c522fc1ce059p-1},  // k = 205
    {0x1.2e47436e40268p-1, 0x1.1bb4a4046ed29p-1},  // k = 206
    {0x1.2f62a99509546p-1, 0x1.1b17c67f2bae3p-1},  // k = 207
    {0x1.307d7334f10bep-1, 0x1.1a7b9611a7b96p-1},  // k = 208
    {0x1.3197a0fa7fe6ap-1, 0x1.19e0119e0119ep-1},  // k = 209
    {0x1.32b1339121d71p-1, 0x1.19453808ca29cp-1},  // k = 210
    {0x1.33ca2ba328995p-1, 0x1.18ab083902bdbp-1},  // k = 211
    {0x1.34e289d9ce1d3p-1, 0x1.1811811811812p-1},  // k = 212
    {0x1.35fa4edd36ea0p-1, 0x1.1778a191bd684p-1},  // k = 213
    {0x1.37117b54747b6p-1, 0x1.16e0689427379p-1},  // k = 214
    {0x1.38280fe58797fp-1, 0x1.1648d50fc3201p-1},  // k = 215
    {0x1.393e0d3562a1ap-1, 0x1.15b1e5f75270dp-1},  // k = 216
    {0x1.3a5373e7ebdfap-1, 0x1.151b9a3fdd5c9p-1},  // k = 217
    {0x1.3b68449fffc23p-1, 0x1.1485f0e0acd3bp-1},  // k = 218
    {0x1.3c7c7fff73206p-1, 0x1.13f0e8d344724p-1},  // k = 219
    {0x1.3d9026a7156fbp-1, 0x1.135c81135c811p-1},  // k = 220
    {0x1.3ea33936b2f5cp-1, 0x1.12c8b89edc0acp-1},  // k = 221
    {0x1.3fb5b84d16f42p-1, 0x1.12358e75d3033p-1},  // k = 222
    {0x1.40c7a4880dce9p-1, 0x1.11a3019a74826p-1},  // k = 223
    {0x1.41d8fe84672aep-1, 0x1.1111111111111p-1},  // k = 224
    {0x1.42e9c6ddf80bfp-1, 0x1.107fbbe011080p-1},  // k = 225
    {0x1.43f9fe2f9ce67p-1, 0x1.0fef010fef011p-1},  // k = 226
    {0x1.4509a5133bb0ap-1, 0x1.0f5edfab325a2p-1},  // k = 227
    {0x1.4618bc21c5ec2p-1, 0x1.0ecf56be69c90p-1},  // k = 228
    {0x1.472743f33aaadp-1, 0x1.0e40655826011p-1},  // k = 229
    {0x1.48353d1ea88dfp-1, 0x1.0db20a88f4696p-1},  // k = 230
    {0x1.4942a83a2fc07p-1, 0x1.0d24456359e3ap-1},  // k = 231
    {0x1.4a4f85db03ebbp-1, 0x1.0c9714fbcda3bp-1},  // k = 232
    {0x1.4b5bd6956e274p-1, 0x1.0c0a7868b4171p-1},  // k = 233
    {0x1.4c679afccee3ap-1, 0x1.0b7e6ec259dc8p-1},  // k = 234
    {0x1.4d72d3a39fd00p-1, 0x1.0af2f722eecb5p-1},  // k = 235
    {0x1.4e7d811b75bb1p-1, 0x1.0a6810a6810a7p-1},  // k = 236
    {0x1.4f87a3f5026e9p-1, 0x1.09ddba6af8360p-1},  // k = 237
    {0x1.50913cc01686bp-1, 0x1.0953f39010954p-1},  // k = 238
    {0x1.519a4c0ba3446p-1, 0x1.08cabb37565e2p-1},  // k = 239
    {0x1.52a2d265bc5abp-1, 0x1.0842108421084p-1},  // k = 240
    {0x1.53aad05b99b7dp-1, 0x1.07b9f29b8eae2p-1},  // k = 241
    {0x1.54b2467999498p-1, 0x1.073260a47f7c6p-1},  // k = 242
    {0x1.55b9354b40bcdp-1, 0x1.06ab59c7912fbp-1},  // k = 243
    {0x1.56bf9d5b3f399p-1, 0x1.0624dd2f1a9fcp-1},  // k = 244
    {0x1.57c57f336f191p-1, 0x1.059eea0727586p-1},  // k = 245
    {0x1.58cadb5cd7989p-1, 0x1.05197f7d73404p-1},  // k = 246
    {0x1.59cfb25fae87ep-1, 0x1.04949cc1664c5p-1},  // k = 247
    {0x1.5ad404c359f2dp-1, 0x1.0410410410410p-1},  // k = 248
    {0x1.5bd7d30e71c73p-1, 0x1.038c6b78247fcp-1},  // k = 249
    {0x1.5cdb1dc6c1765p-1, 0x1.03091b51f5e1ap-1},  // k = 250
    {0x1.5ddde57149923p-1, 0x1.02864fc7729e9p-1},  // k = 251
    {0x1.5ee02a9241675p-1, 0x1.0204081020408p-1},  // k = 252
    {0x1.5fe1edad18919p-1, 0x1.0182436517a37p-1},  // k = 253
    {0x1.60e32f44788d9p-1, 0x1.0101010101010p-1},  // k = 254
    {0x1.61e3efda46467p-1, 0x1.0080402010080p-1},  // k = 255
    {0x1.62e42fefa39efp-1, 0x1.0000000000000p-1},  // k = 256
    },
    0x1.55555555512c8p-2,   // 0.33333333333238757
    -0x1.fffffffffcaaep-2,  // -0.4999999999992423
    0x1.62e42fefa39efp-1,
    0x1.71547652b82fep+7,
    0x1.8p52,
    0x1.62e42fefa39efp-8,
    {
    0x0000000000000ULL, 0x0163DA9FB3335ULL, 0x02C9A3E778061ULL, 0x04315E86E7F85ULL,
    0x059B0D3158574ULL, 0x0706B29DDF6DEULL, 0x0874518759BC8ULL, 0x09E3ECAC6F383ULL,
    0x0B5586CF9890FULL, 0x0CC922B7247F7ULL, 0x0E3EC32D3D1A2ULL, 0x0FB66AFFED31BULL,
    0x11301D0125B51ULL, 0x12ABDC06C31CCULL, 0x1429AAEA92DE0ULL, 0x15A98C8A58E51ULL,
    0x172B83C7D517BULL, 0x18AF9388C8DEAULL, 0x1A35BEB6FCB75ULL, 0x1BBE084045CD4ULL,
    0x1D4873168B9AAULL, 0x1ED5022FCD91DULL, 0x2063B88628CD6ULL, 0x21F49917DDC96ULL,
    0x2387A6E756238ULL, 0x251CE4FB2A63FULL, 0x26B4565E27CDDULL, 0x284DFE1F56381ULL,
    0x29E9DF51FDEE1ULL, 0x2B87FD0DAD990ULL, 0x2D285A6E4030BULL, 0x2ECAFA93E2F56ULL,
    0x306FE0A31B715ULL, 0x32170FC4CD831ULL, 0x33C08B26416FFULL, 0x356C55F929FF1ULL,
    0x371A7373AA9CBULL, 0x38CAE6D05D866ULL, 0x3A7DB34E59FF7ULL, 0x3C32DC313A8E5ULL,
    0x3DEA64C123422ULL, 0x3FA4504AC801CULL, 0x4160A21F72E2AULL, 0x431F5D950A897ULL,
    0x44E086061892DULL, 0x46A41ED1D0057ULL, 0x486A2B5C13CD0ULL, 0x4A32AF0D7D3DEULL,
    0x4BFDAD5362A27ULL, 0x4DCB299FDDD0DULL, 0x4F9B2769D2CA7ULL, 0x516DAA2CF6642ULL,
    0x5342B569D4F82ULL, 0x551A4CA5D920FULL, 0x56F4736B527DAULL, 0x58D12D497C7FDULL,
    0x5AB07DD485429ULL, 0x5C9268A5946B7ULL, 0x5E76F15AD2148ULL, 0x605E1B976DC09ULL,
    0x6247EB03A5585ULL, 0x6434634CCC320ULL, 0x6623882552225ULL, 0x68155D44CA973ULL,
    0x6A09E667F3BCDULL, 0x6C012750BDABFULL, 0x6DFB23C651A2FULL, 0x6FF7DF9519484ULL,
    0x71F75E8EC5F74ULL, 0x73F9A48A58174ULL, 0x75FEB564267C9ULL, 0x780694FDE5D3FULL,
    0x7A11473EB0187ULL, 0x7C1ED0130C132ULL, 0x7E2F336CF4E62ULL, 0x80427543E1A12ULL,
    0x82589994CCE13ULL, 0x8471A4623C7ADULL, 0x868D99B4492EDULL, 0x88AC7D98A6699ULL,
    0x8ACE5422AA0DBULL, 0x8CF3216B5448CULL, 0x8F1AE99157736ULL, 0x9145B0B91FFC6ULL,
    0x93737B0CDC5E5ULL, 0x95A44CBC8520FULL, 0x97D829FDE4E50ULL, 0x9A0F170CA07BAULL,
    0x9C49182A3F090ULL, 0x9E86319E32323ULL, 0xA0C667B5DE565ULL, 0xA309BEC4A2D33ULL,
    0xA5503B23E255DULL, 0xA799E1330B358ULL, 0xA9E6B5579FDBFULL, 0xAC36BBFD3F37AULL,
    0xAE89F995AD3ADULL, 0xB0E07298DB666ULL, 0xB33A2B84F15FBULL, 0xB59728DE5593AULL,
    0xB7F76F2FB5E47ULL, 0xBA5B030A1064AULL, 0xBCC1E904BC1D2ULL, 0xBF2C25BD71E09ULL,
    0xC199BDD85529CULL, 0xC40AB5FFFD07AULL, 0xC67F12E57D14BULL, 0xC8F6D9406E7B5ULL,
    0xCB720DCEF9069ULL, 0xCDF0B555DC3FAULL, 0xD072D4A07897CULL, 0xD2F87080D89F2ULL,
    0xD5818DCFBA487ULL, 0xD80E316C98398ULL, 0xDA9E603DB3285ULL, 0xDD321F301B460ULL,
    0xDFC97337B9B5FULL, 0xE264614F5A129ULL, 0xE502EE78B3FF6ULL, 0xE7A51FBC74C83ULL,
    0xEA4AFA2A490DAULL, 0xECF482D8E67F1ULL, 0xEFA1BEE615A27ULL, 0xF252B376BBA97ULL,
    0xF50765B6E4540ULL, 0xF7BFDAD9CBE14ULL, 0xFA7C1819E90D8ULL, 0xFD3C22B8F71F1ULL,
    },
    0.5,
    0x1.5555555555555p-3,
    0x7F800000u,
    0x1.226af33b1fdc1p+33,
    0xFFC00000u,
    0.5f,
    0x7F800000u,
    1.0f,
    0x1.5d55cp+6,
    0x7FFFFFFFFFFFFFFFull,
    0x7F7FFFFFu,
    1,
    0x7FFFFFFFu,
    0xFEFFFFFFu,
    0x1.8p52,
    0x000003FF00000000ull,
    0x80800000u,
    1023,
    1.0,
    0x000FFFFFFFFFFFFFull,
    {
    {0x3F800000, 0x00000000},  // j = 0
    {0x3F80B1ED, 0x331ED669},  // j = 1
    {0x3F8164D1, 0x33F11BE4},  // j = 2
    {0x3F8218AF, 0x3304BB72},  // j = 3
    {0x3F82CD86, 0x339566AE},  // j = 4
    {0x3F838359, 0x3319A7D2},  // j = 5
    {0x3F843A28, 0x33BD6B73},  // j = 6
    {0x3F84F1F6, 0x3326053A},  // j = 7
    {0x3F85AAC3, 0x3346CB6A},  // j = 8
    {0x3F866491, 0x332E6E48},  // j = 9
    {0x3F871F61, 0x338EAE0E},  // j = 10
    {0x3F87DB35, 0x3371207A},  // j = 11
    {0x3F88980E, 0x3370F7F5},  // j = 12
    {0x3F8955EE, 0x30C9ADF8},  // j = 13
    {0x3F8A14D5, 0x33597288},  // j = 14
    {0x3F8AD4C6, 0x32FF1B92},  // j = 15
    {0x3F8B95C1, 0x33D10006},  // j = 16
    {0x3F8C57C9, 0x33B31EB6},  // j = 17
    {0x3F8D1ADF, 0x3325FE11},  // j = 18
    {0x3F8DDF04, 0x3267F443},  // j = 19
    {0x3F8EA439, 0x3379F435},  // j = 20
    {0x3F8F6A81, 0x322AA888},  // j = 21
    {0x3F9031DC, 0x32EE2EF5},  // j = 22
    {0x3F90FA4C, 0x337717A8},  // j = 23
    {0x3F91C3D3, 0x334B2482},  // j = 24
    {0x3F928E72, 0x335B5D2B},  // j = 25
    {0x3F935A2B, 0x32A3945B},  // j = 26
    {0x3F9426FF, 0x31D89803},  // j = 27
    {0x3F94F4EF, 0x33913849},  // j = 28
    {0x3F95C3FE, 0x33667C4A},  // j = 29
    {0x3F96942D, 0x32BB7020},  // j = 30
    {0x3F97657D, 0x32FA10A7},  // j = 31
    {0x3F9837F0, 0x33092801},  // j = 32
    {0x3F990B87, 0x33BD5A1B},  // j = 33
    {0x3F99E045, 0x3374C5EA},  // j = 34
    {0x3F9AB62A, 0x33D0F904},  // j = 35
    {0x3F9B8D39, 0x3398EB04},  // j = 36
    {0x3F9C6573, 0x332A8881},  // j = 37
    {0x3F9D3ED9, 0x33881559},  // j = 38
    {0x3F9E196E, 0x321F6D01},  // j = 39
    {0x3F9EF532, 0x331B85F2},  // j = 40
    {0x3F9FD228, 0x326F9177},  // j = 41
    {0x3FA0B051, 0x31C868D2},  // j = 42
    {0x3FA18FAE, 0x33A07369},  // j = 43
    {0x3FA27043, 0x3099B6F1},  // j = 44
    {0x3FA3520F, 0x33246FFC},  // j = 45
    {0x3FA43515, 0x3387A9DE},  // j = 46
    {0x3FA51957, 0x3350EED7},  // j = 47
    {0x3FA5FED6, 0x3382D9D6},  // j = 48
    {0x3FA6E594, 0x339F78F8},  // j = 49
    {0x3FA7CD93, 0x3389FFD1},  // j = 50
    {0x3FA8B6D5, 0x320872CB},  // j = 51
    {0x3FA9A15A, 0x33888417},  // j = 52
    {0x3FAA8D26, 0x32F8F0C0},  // j = 53
    {0x3FAB7A39, 0x33879A06},  // j = 54
    {0x3FAC6896, 0x33749E3C},  // j = 55
    {0x3FAD583E, 0x33ACFB1A},  // j = 56
    {0x3FAE4934, 0x32F33640},  // j = 57
    {0x3FAF3B78, 0x337D5696},  // j = 58
    {0x3FB02F0D, 0x33940058},  // j = 59
    {0x3FB123F5, 0x333B9E1D},  // j = 60
    {0x3FB21A31, 0x336F2D7D},  // j = 61
    {0x3FB311C4, 0x31D56ADF},  // j = 62
    {0x3FB40AAE, 0x3366E8C4},  // j = 63
    {0x3FB504F3, 0x329302AE},  // j = 64
    {0x3FB60093, 0x336CD36B},  // j = 65
    {0x3FB6FD91, 0x339EE54F},  // j = 66
    {0x3FB7FBEF, 0x338CEA84},  // j = 67
    {0x3FB8FBAF, 0x32C595DC},  // j = 68
    {0x3FB9FCD2, 0x32BE6BFB},  // j = 69
    {0x3FBAFF5A, 0x3373C90D},  // j = 70
    {0x3FBC034A, 0x332CDAD1},  // j = 71
    {0x3FBD08A3, 0x3357CADC},  // j = 72
    {0x3FBE0F68, 0x314D3E50},  // j = 73
    {0x3FBF1799, 0x337475D6},  // j = 74
    {0x3FC0213A, 0x3357C669},  // j = 75
    {0x3FC12C4C, 0x33861D33},  // j = 76
    {0x3FC238D2, 0x32817BB3},  // j = 77
    {0x3FC346CC, 0x338EFD0D},  // j = 78
    {0x3FC4563E, 0x33853532},  // j = 79
    {0x3FC5672A, 0x31B3D0E5},  // j = 80
    {0x3FC67990, 0x336A514B},  // j = 81
    {0x3FC78D74, 0x3380B7A0},  // j = 82
    {0x3FC8A2D8, 0x32EC356B},  // j = 83
    {0x3FC9B9BD, 0x332A995B},  // j = 84
    {0x3FCAD226, 0x32EDF312},  // j = 85
    {0x3FCBEC14, 0x33A00720},  // j = 86
    {0x3FCD078B, 0x3327B433},  // j = 87
    {0x3FCE248C, 0x31D1DAF2},  // j = 88
    {0x3FCF4318, 0x337FCC21},  // j = 89
    {0x3FD06333, 0x33867A6E},  // j = 90
    {0x3FD184DF, 0x32F0424C},  // j = 91
    {0x3FD2A81D, 0x33315B10},  // j = 92
    {0x3FD3CCF0, 0x33398F3C},  // j = 93
    {0x3FD4F35A, 0x334E8B94},  // j = 94
    {0x3FD61B5D, 0x339838DD},  // j = 95
    {0x3FD744FC, 0x33713781},  // j = 96
    {0x3FD87039, 0x32B4CC06},  // j = 97
    {0x3FD99D15, 0x3364C68F},  // j = 98
    {0x3FDACB94, 0x33021207},  // j = 99
    {0x3FDBFBB7, 0x3330B7BE},  // j = 100
    {0x3FDD2D81, 0x3319FA02},  // j = 101
    {0x3FDE60F4, 0x331613DB},  // j = 102
    {0x3FDF9612, 0x337F02CF},  // j = 103
    {0x3FE0CCDE, 0x338678C6},  // j = 104
    {0x3FE2055A, 0x3390F976},  // j = 105
    {0x3FE33F89, 0x3301430E},  // j = 106
    {0x3FE47B6C, 0x33338307},  // j = 107
    {0x3FE5B906, 0x3380FB91},  // j = 108
    {0x3FE6F85A, 0x333D7420},  // j = 109
    {0x3FE8396A, 0x32B0E688},  // j = 110
    {0x3FE97C38, 0x328D454C},  // j = 111
    {0x3FEAC0C6, 0x337CD96D},  // j = 112
    {0x3FEC0718, 0x3345B918},  // j = 113
    {0x3FED4F30, 0x32051E65},  // j = 114
    {0x3FEE990F, 0x332324AD},  // j = 115
    {0x3FEFE4B9, 0x332653D1},  // j = 116
    {0x3FF13230, 0x3331F7A8},  // j = 117
    {0x3FF28177, 0x327ED6DE},  // j = 118
    {0x3FF3D28F, 0x336953BC},  // j = 119
    {0x3FF5257D, 0x31B0A147},  // j = 120
    {0x3FF67A41, 0x32E147B7},  // j = 121
    {0x3FF7D0DF, 0x32EDAEDB},  // j = 122
    {0x3FF92959, 0x3340824D},  // j = 123
    {0x3FFA83B2, 0x3360404F},  // j = 124
    {0x3FFBDFED, 0x32DD5D12},  // j = 125
    {0x3FFD3E0C, 0x31518A42},  // j = 126
    {0x3FFE9E11, 0x32B9F83C},  // j = 127
    },
};
