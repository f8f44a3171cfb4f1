# Writes random_words.raw: EVT3 words of every kind at random (rows and columns beyond a 1280 x 720
# sensor, time going back, time jumps, triggers, vector and OTHERS groups), with groups cut by the
# raw reader's 128 KiB buffer edges. Run in tests/data/index to remake it.
import random, struct
random.seed(20261210)
def w(t,p): return (t<<12)|(p&0xFFF)
words=[w(8,100), w(6,0)]
high=100
EDGE=65536
forced={EDGE-2:'vect', 2*EDGE-2:'others', 3*EDGE-3:'vect'}
def vect():
    words.extend([w(3,random.randrange(1300)|(random.randrange(2)<<11)), w(4,random.randrange(4096)), w(4,random.randrange(4096)), w(5,random.randrange(256))])
def others():
    words.extend([w(14,random.choice([20,22])), w(15,random.randrange(4096)), w(15,random.randrange(4096)), w(7,random.randrange(16))])
while len(words) < int(3.6*EDGE):
    near=[k for k in forced if 0 <= k-len(words) < 8]
    if near:
        while len(words) < near[0]: words.append(w(8,high))
        (vect if forced[near[0]]=='vect' else others)(); continue
    r=random.random()
    if r<0.40: words += [w(0,random.randrange(800)), w(2,random.randrange(1400)|(random.randrange(2)<<11))]
    elif r<0.50: words.append(w(2,random.randrange(1400)|(random.randrange(2)<<11)))
    elif r<0.66: words.append(w(6,random.randrange(4096)))
    elif r<0.71: words.append(w(8,high))
    elif r<0.722:
        high=(high+1)&0xFFF; words.append(w(8,high))
    elif r<0.7235:
        words.append(w(8,random.randrange(4096)))
    elif r<0.77: vect()
    elif r<0.78: words.append(w(10,(random.randrange(16)<<8)|random.randrange(2)))
    elif r<0.79: others()
    elif r<0.80: words.append(w(1,random.randrange(4096)))
    else: words.append(w(random.choice([9,11,12,13,14,5,7,15]),random.randrange(4096)))
hdr=b"% evt 3.0\n% format EVT3;height=720;width=1280\n% end\n"
open('random_words.raw','wb').write(hdr+b''.join(struct.pack('<H',x) for x in words))
print(len(words)*2)
